// Operators' log-in: password hashes (Argon2id from libsodium, salted and
// slow), operators' sessions held by a random token in an HTTP-only cookie
// with a token per session that state-changing requests must carry, the gate
// every log-in passes before its password is checked, and the names a
// browser may reach the console by.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/refusal.h"

namespace zalvo::console {

// Throws std::runtime_error when libsodium cannot start.
void InitCrypto();

// A salted Argon2id hash in libsodium's string form; the password is not in it.
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);

// New and changed passwords have at least this many characters (UTF-8).
inline constexpr size_t kMinPasswordLength = 8;
size_t Utf8Length(std::string_view text);

// Random bytes as lower-case hex, from libsodium's generator.
std::string RandomHex(size_t bytes);

struct OperatorSession {
  std::string operator_name;
  std::string csrf;        // sent with every state-changing request
  std::string credential;  // the password hash the operator logged in with
  // Set by Find at most once a minute for a session in use: the record's
  // copy of it should learn so (see Restore).
  bool touch_record = false;
};

// The SHA-256 of a log-in's token as hex: what the record keeps of it.
std::string TokenHash(const std::string& token);

// A keyed hash (BLAKE2b) of the text as hex: without the key (16 to 64
// bytes) no guess can be tested against it.
std::string KeyedHash(const std::string& key, const std::string& text);

// Operators' sessions end after an absolute lifetime from the log-in, after a
// time without requests, at log-out, and (checked by the caller against
// `credential`) when the operator's password changes or the operator is
// removed.
class OperatorSessions {
 public:
  using Clock = std::chrono::steady_clock;
  explicit OperatorSessions(std::chrono::minutes lifetime = std::chrono::hours(12),
                            std::chrono::minutes idle_limit = std::chrono::hours(1))
      : lifetime_(lifetime), idle_limit_(idle_limit) {}

  // A new session for the operator; returns its token.
  std::string Open(const std::string& operator_name, const std::string& credential,
                   Clock::time_point now);
  // The session of a token, its idle time restarted; nullopt when the token
  // is unknown or its session has ended.
  std::optional<OperatorSession> Find(const std::string& token, Clock::time_point now);
  void Close(const std::string& token);
  // A session kept in the record from before a restart, back under its
  // token with the age and idle time the record gives; false (and nothing
  // kept) when those have ended it.
  bool Restore(const std::string& token, const OperatorSession& login, Clock::duration age,
               Clock::duration idle, Clock::time_point now);

  std::chrono::minutes lifetime() const { return lifetime_; }

 private:
  struct Entry {
    OperatorSession login;
    Clock::time_point opened;
    Clock::time_point last_used;
    Clock::time_point recorded;  // when the record last learned of its use
  };
  bool Ended(const Entry& entry, Clock::time_point now) const;

  std::chrono::minutes lifetime_;
  std::chrono::minutes idle_limit_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// Every log-in passes this gate before its password is checked; the attempt
// counts as a failure from then until the password proves right, so that
// parallel attempts can't run ahead of the count.
//  - One attempt at a time per client address, and after three failures
//    from it each attempt must wait twice as long as the one before (1 s,
//    2 s, ... 5 min): the client is refused (429) until then. A right
//    password takes back only the failures with its own name: a log-in as
//    oneself does not clear the guesses at another's.
//  - Per account name, from every address together: after three failures in
//    a row its checks are spread out, each waiting for the previous one plus
//    a growing delay (1 s, 2 s, ... 8 s); the attempt is held, not refused,
//    so that nobody can lock an operator out by typing the name. An attempt
//    that would be held longer than a minute (many clients guessing at once)
//    is refused (503).
//  - At most `checks` attempts waiting for, or in, a check at once; more are
//    refused (503) at once.
//  - A trusted attempt skips the name's spacing and the bound of checks, and
//    its check goes first, so that guesses from elsewhere never keep its
//    operator out: one from a known device (a browser that logged in with
//    the name before), or from the server itself (see IsLoopback). Its own
//    address's failures still count.
class LoginGate {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    size_t checks = 10;
    int free_failures = 3;
    std::chrono::seconds longest_client_wait{300};
    std::chrono::seconds longest_account_delay{8};
    std::chrono::seconds longest_hold{60};
    size_t max_tracked = 4096;  // clients and accounts remembered
  };
  struct Admission {
    // When refused: too many (an address's log-in under way, its wrong
    // passwords) or unavailable (the gate full, the name held too long).
    std::optional<Refusal> refusal;
    std::chrono::seconds retry_after{0};
    Clock::time_point check_at;  // when admitted: the check starts then
    bool admitted() const { return !refusal; }
  };

  LoginGate() : LoginGate(Limits{}) {}
  explicit LoginGate(Limits limits) : limits_(limits) {}

  Admission Begin(const std::string& client, const std::string& account, Clock::time_point now,
                  bool trusted = false);
  // The attempt's check ends: right or wrong.
  void Finish(const std::string& client, const std::string& account, bool right,
              Clock::time_point now);

 private:
  struct Client {
    int failures = 0;
    // The failures by the name tried (at most kNamesPerClient names; the
    // rest count under "").
    std::map<std::string, int> by_name;
    Clock::time_point next_try;
    bool in_flight = false;
    bool account_counted = false;
    Clock::time_point check_at;
  };
  static constexpr size_t kNamesPerClient = 32;
  struct Account {
    int failures = 0;
    Clock::time_point next_check;
    int in_flight = 0;
  };
  std::chrono::seconds Doubling(int failures, std::chrono::seconds longest) const;
  void Forget(Clock::time_point now);

  Limits limits_;
  std::mutex mutex_;
  std::map<std::string, Client> clients_;
  std::map<std::string, Account> accounts_;
};

// The addresses of the server itself (127.0.0.1 and ::1): a browser there is
// never held back by guesses from elsewhere. The rest of 127.0.0.0/8 counts as
// any other client.
bool IsLoopback(std::string_view address);

// The operators' actions (every request that changes something and goes into
// the log) are limited per operator: `burst` at once, then `per_minute`, so
// that no operator can flood the owner's log.
class ActionLimit {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    int burst = 20;
    int per_minute = 60;
  };
  ActionLimit() : ActionLimit(Limits{}) {}
  explicit ActionLimit(Limits limits) : limits_(limits) {}

  // Takes one action of the operator's allowance; nullopt when refused (429
  // with the reason, and how long until the next one may go).
  Check Take(const std::string& operator_name, Clock::time_point now,
             std::chrono::seconds& retry_after);

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point at;
  };
  Limits limits_;
  std::mutex mutex_;
  std::map<std::string, Bucket> buckets_;
};

// The names a browser may reach the console by: anything else in Host, or
// in Origin, is another site's page (DNS rebinding) and is refused on every
// route.
class AllowedHosts {
 public:
  // The listening address and port; on a loopback address (or all
  // addresses) also localhost, 127.0.0.1 and [::1]; and the names given,
  // each "name" (the listening port) or "name:port".
  AllowedHosts(const std::string& listen_address, int port, bool tls,
               const std::vector<std::string>& names);

  // A Host header's value.
  bool Host(std::string_view host) const;
  // An Origin header's value ("null" and other schemes are refused).
  bool Origin(std::string_view origin) const;

 private:
  void Add(std::string name, int port);

  bool tls_;
  int default_port_;
  std::vector<std::string> allowed_;  // lower case "name:port"
};

}  // namespace zalvo::console
