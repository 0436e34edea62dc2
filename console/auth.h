// Operators' log-in: password hashes (Argon2id from libsodium, salted and
// slow), sessions held by a random token in an HTTP-only cookie, a token per
// session that state-changing requests must carry, and a growing wait after
// wrong passwords.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zalvo::console {

// Throws std::runtime_error when libsodium cannot start.
void InitCrypto();

// A salted Argon2id hash in libsodium's string form; the password is not in it.
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);

// Random bytes as lower-case hex, from libsodium's generator.
std::string RandomHex(size_t bytes);

struct OperatorSession {
  std::string operator_name;
  std::string csrf;  // sent with every state-changing request
};

class Sessions {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Sessions(std::chrono::minutes idle_limit = std::chrono::hours(12))
      : idle_limit_(idle_limit) {}

  // A new session for the operator; returns its token.
  std::string Open(const std::string& operator_name);
  // The session of a token, and its idle time restarted; nullopt when the
  // token is unknown or has been idle too long.
  std::optional<OperatorSession> Find(const std::string& token);
  void Close(const std::string& token);

 private:
  struct Entry {
    OperatorSession session;
    Clock::time_point last_used;
  };
  std::chrono::minutes idle_limit_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// Wrong passwords from one client address: after three in a row each
// further attempt must wait twice as long as the one before (1 s, 2 s, 4 s,
// ... up to 5 minutes); a right password clears the count.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // How long the client must still wait; zero when it may try now.
  std::chrono::seconds WaitFor(const std::string& client, Clock::time_point now);
  void Failed(const std::string& client, Clock::time_point now);
  void Succeeded(const std::string& client);

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point next_try;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace zalvo::console
