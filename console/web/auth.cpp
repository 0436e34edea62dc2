#include "console/web/auth.h"

#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace zalvo::console {
namespace {

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

bool IsLoopbackOrAny(const std::string& address) {
  return address == "0.0.0.0" || address.rfind("127.", 0) == 0;
}

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

size_t Utf8Length(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
  hex.pop_back();
  return hex;
}

std::string OperatorSessions::Open(const std::string& operator_name, const std::string& credential,
                                   Clock::time_point now) {
  std::string token = RandomHex(32);
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const auto& e) { return Ended(e.second, now); });
  entries_[token] = Entry{{operator_name, RandomHex(16), credential}, now, now, now};
  return token;
}

bool OperatorSessions::Restore(const std::string& token, const OperatorSession& login,
                               Clock::duration age, Clock::duration idle, Clock::time_point now) {
  Entry entry{login, now - age, now - idle, now};
  entry.login.touch_record = false;
  if (age < Clock::duration::zero() || idle < Clock::duration::zero() || Ended(entry, now)) {
    return false;
  }
  std::lock_guard lock(mutex_);
  entries_[token] = entry;
  return true;
}

std::string TokenHash(const std::string& token) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, reinterpret_cast<const unsigned char*>(token.data()), token.size());
  std::string hex(sizeof hash * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), hash, sizeof hash);
  hex.pop_back();
  return hex;
}

std::string KeyedHash(const std::string& key, const std::string& text) {
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), reinterpret_cast<const unsigned char*>(key.data()), key.size());
  std::string hex(sizeof hash * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), hash, sizeof hash);
  hex.pop_back();
  return hex;
}

bool OperatorSessions::Ended(const Entry& entry, Clock::time_point now) const {
  return now - entry.opened >= lifetime_ || now - entry.last_used >= idle_limit_;
}

std::optional<OperatorSession> OperatorSessions::Find(const std::string& token,
                                                      Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end()) {
    return std::nullopt;
  }
  if (Ended(it->second, now)) {
    entries_.erase(it);
    return std::nullopt;
  }
  it->second.last_used = now;
  OperatorSession login = it->second.login;
  if (now - it->second.recorded >= std::chrono::minutes(1)) {
    it->second.recorded = now;
    login.touch_record = true;
  }
  return login;
}

void OperatorSessions::Close(const std::string& token) {
  std::lock_guard lock(mutex_);
  entries_.erase(token);
}

std::chrono::seconds LoginGate::Doubling(int failures, std::chrono::seconds longest) const {
  if (failures < limits_.free_failures) {
    return std::chrono::seconds(0);
  }
  int doublings = std::min(failures - limits_.free_failures, 16);
  return std::min(longest, std::chrono::seconds(1LL << doublings));
}

void LoginGate::Forget(Clock::time_point now) {
  // The clients and accounts whose waits are over and that have no attempt
  // under way start again from nothing, as after a while anyway.
  std::erase_if(clients_, [&](const auto& c) {
    return !c.second.in_flight && now >= c.second.next_try + limits_.longest_client_wait;
  });
  std::erase_if(accounts_, [&](const auto& a) {
    return a.second.in_flight == 0 &&
           now >= a.second.next_check + limits_.longest_account_delay * 2;
  });
}

bool IsLoopback(std::string_view address) {
  return address == "127.0.0.1" || address == "::1";
}

Check ActionLimit::Take(const std::string& operator_name, Clock::time_point now,
                        std::chrono::seconds& retry_after) {
  std::lock_guard lock(mutex_);
  double per_second = limits_.per_minute / 60.0;
  auto [it, added] = buckets_.try_emplace(operator_name, Bucket{double(limits_.burst), now});
  Bucket& bucket = it->second;
  double elapsed = std::chrono::duration<double>(now - bucket.at).count();
  bucket.tokens =
      std::min<double>(limits_.burst, bucket.tokens + std::max(0.0, elapsed) * per_second);
  bucket.at = now;
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return std::nullopt;
  }
  retry_after =
      std::chrono::seconds(static_cast<int64_t>(std::ceil((1 - bucket.tokens) / per_second)));
  return Refusal{RefusalKind::kTooMany,
                 "too many actions: at most " + std::to_string(limits_.per_minute) + " a minute (" +
                     std::to_string(limits_.burst) + " at once); try again in " +
                     std::to_string(retry_after.count()) + " s"};
}

LoginGate::Admission LoginGate::Begin(const std::string& client, const std::string& account,
                                      Clock::time_point now, bool trusted) {
  std::lock_guard lock(mutex_);
  Admission refusal;
  auto known = clients_.find(client);
  if (known != clients_.end() && known->second.in_flight) {
    refusal.retry_after = std::chrono::seconds(1);
    refusal.refusal = Refusal{RefusalKind::kTooMany,
                              "a log-in from this address is under way: wait for its answer"};
    return refusal;
  }
  if (known != clients_.end() && now < known->second.next_try) {
    refusal.retry_after = std::chrono::ceil<std::chrono::seconds>(known->second.next_try - now);
    refusal.refusal =
        Refusal{RefusalKind::kTooMany, "too many wrong passwords: try again in " +
                                           std::to_string(refusal.retry_after.count()) + " s"};
    return refusal;
  }
  auto ready =
      static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(), [&](const auto& c) {
        return c.second.in_flight && c.second.check_at <= now;
      }));
  if (clients_.size() >= limits_.max_tracked || accounts_.size() >= limits_.max_tracked) {
    Forget(now);
  }
  bool full = clients_.size() >= limits_.max_tracked ||
              (accounts_.count(account) == 0 && accounts_.size() >= limits_.max_tracked);
  Account* holder = !trusted && accounts_.count(account) != 0 ? &accounts_[account] : nullptr;
  Clock::time_point check_at = holder ? std::max(now, holder->next_check) : now;
  if (full || (!trusted && ready >= limits_.checks)) {
    refusal.retry_after = std::chrono::seconds(1);
    refusal.refusal =
        Refusal{RefusalKind::kUnavailable, "too many log-ins at once: try again in a moment"};
    return refusal;
  }
  if (check_at - now > limits_.longest_hold) {
    refusal.retry_after = std::chrono::ceil<std::chrono::seconds>(check_at - now);
    refusal.refusal =
        Refusal{RefusalKind::kUnavailable, "too many log-ins with this name: try again in " +
                                               std::to_string(refusal.retry_after.count()) + " s"};
    return refusal;
  }
  Client& c = clients_[client];
  ++c.failures;
  bool named = c.by_name.size() < kNamesPerClient || c.by_name.count(account) != 0;
  ++c.by_name[named ? account : ""];
  c.in_flight = true;
  c.check_at = check_at;
  c.account_counted = !trusted;
  if (!trusted) {
    Account& a = accounts_[account];
    ++a.failures;
    ++a.in_flight;
    a.next_check = check_at + Doubling(a.failures, limits_.longest_account_delay);
  }
  Admission admission;
  admission.check_at = check_at;
  return admission;
}

void LoginGate::Finish(const std::string& client, const std::string& account, bool right,
                       Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto c = clients_.find(client);
  bool account_counted = c != clients_.end() && c->second.account_counted;
  if (c != clients_.end()) {
    if (right) {
      // Only this name's failures are taken back; the client's wait for the
      // others' stands.
      auto mine = c->second.by_name.find(account);
      if (mine != c->second.by_name.end()) {
        c->second.failures -= mine->second;
        c->second.by_name.erase(mine);
      }
      c->second.in_flight = false;
      if (c->second.failures <= 0) {
        clients_.erase(c);
      }
    } else {
      c->second.in_flight = false;
      c->second.next_try = now + Doubling(c->second.failures, limits_.longest_client_wait);
    }
  }
  auto a = accounts_.find(account);
  if (a != accounts_.end() && account_counted) {
    --a->second.in_flight;
    if (right) {
      a->second.failures = 0;
      a->second.next_check = now;
    }
  }
}

AllowedHosts::AllowedHosts(const std::string& listen_address, int port, bool tls,
                           const std::vector<std::string>& names)
    : tls_(tls), default_port_(tls ? 443 : 80) {
  if (listen_address != "0.0.0.0") {
    Add(listen_address, port);
  }
  if (IsLoopbackOrAny(listen_address)) {
    for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
      Add(name, port);
    }
  }
  for (const auto& name : names) {
    // "name:port", but not the colons of a bare IPv6 address.
    size_t colon = name.rfind(':');
    bool has_port = colon != std::string::npos && name.find(']', colon) == std::string::npos &&
                    name.find(':') == colon && colon + 1 < name.size() &&
                    name.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    if (has_port) {
      Add(name.substr(0, colon), std::stoi(name.substr(colon + 1)));
    } else {
      Add(name, port);
    }
  }
}

void AllowedHosts::Add(std::string name, int port) {
  allowed_.push_back(LowerCase(name) + ":" + std::to_string(port));
  if (port == default_port_) {
    allowed_.push_back(LowerCase(name));
  }
}

bool AllowedHosts::Host(std::string_view host) const {
  return std::find(allowed_.begin(), allowed_.end(), LowerCase(host)) != allowed_.end();
}

bool AllowedHosts::Origin(std::string_view origin) const {
  std::string_view scheme = tls_ ? "https://" : "http://";
  if (origin.substr(0, scheme.size()) != scheme) {
    return false;
  }
  return Host(origin.substr(scheme.size()));
}

}  // namespace zalvo::console
