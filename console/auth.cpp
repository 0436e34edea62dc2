#include "console/auth.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace zalvo::console {
namespace {

constexpr size_t kMaxClients = 4096;
constexpr int kFreeFailures = 3;
constexpr std::chrono::seconds kLongestWait{300};

}  // namespace

void InitCrypto() {
  if (sodium_init() < 0) {
    throw std::runtime_error("libsodium cannot start");
  }
}

std::string HashPassword(const std::string& password) {
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    throw std::runtime_error("out of memory while hashing the password");
  }
  return hash;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
  hex.pop_back();
  return hex;
}

std::string Sessions::Open(const std::string& operator_name) {
  std::string token = RandomHex(32);
  std::lock_guard lock(mutex_);
  auto now = Clock::now();
  std::erase_if(entries_, [&](const auto& e) { return now - e.second.last_used > idle_limit_; });
  entries_[token] = Entry{{operator_name, RandomHex(16)}, now};
  return token;
}

std::optional<OperatorSession> Sessions::Find(const std::string& token) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end()) {
    return std::nullopt;
  }
  auto now = Clock::now();
  if (now - it->second.last_used > idle_limit_) {
    entries_.erase(it);
    return std::nullopt;
  }
  it->second.last_used = now;
  return it->second.session;
}

void Sessions::Close(const std::string& token) {
  std::lock_guard lock(mutex_);
  entries_.erase(token);
}

std::chrono::seconds LoginThrottle::WaitFor(const std::string& client, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(client);
  if (it == entries_.end() || now >= it->second.next_try) {
    return std::chrono::seconds(0);
  }
  return std::chrono::ceil<std::chrono::seconds>(it->second.next_try - now);
}

void LoginThrottle::Failed(const std::string& client, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kMaxClients && entries_.count(client) == 0) {
    // Forget the clients that may try again already.
    std::erase_if(entries_, [&](const auto& e) { return now >= e.second.next_try; });
  }
  Entry& entry = entries_[client];
  ++entry.failures;
  if (entry.failures >= kFreeFailures) {
    int doublings = std::min(entry.failures - kFreeFailures, 16);
    entry.next_try = now + std::min(kLongestWait, std::chrono::seconds(1LL << doublings));
  }
}

void LoginThrottle::Succeeded(const std::string& client) {
  std::lock_guard lock(mutex_);
  entries_.erase(client);
}

}  // namespace zalvo::console
