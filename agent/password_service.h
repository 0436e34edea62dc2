// The service's side of the lock screen's password channel: it answers the
// lock screen's log-in and the settings dialog's password change against the
// hashes of agent/password_store.h, spaces out wrong tries, and takes over
// and removes the copies of the passwords that the customer can read.
//
// It runs on the channel's own thread and never takes the agent's lock, so
// no command and no tick waits on a hash or on the customer's requests. Its
// calls are made by that one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "agent/password_store.h"
#include "platform/files.h"
#include "platform/log_sink.h"
#include "platform/registry.h"
#include "protocol/password_ops.h"

namespace zalvo::agent {

// The user name of the small password's log-in.
inline constexpr std::string_view kSmallPasswordUser = "1";

// The pause a run of wrong tries asks for: after the n-th wrong try in a
// row, no password is checked for 2^(n-1) seconds, at most kLongest. A right
// one ends the run.
class TrySpacing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kLongest{30};

  // Seconds until a password may be checked; 0 when it may now.
  [[nodiscard]] uint32_t SecondsLeft(Clock::time_point now) const;
  void Wrong(Clock::time_point now);
  void Right() { wrong_in_a_row_ = 0; }
  [[nodiscard]] uint32_t WrongInARow() const { return wrong_in_a_row_; }

 private:
  uint32_t wrong_in_a_row_ = 0;
  Clock::time_point next_check_{};
};

class PasswordService {
 public:
  using Clock = std::function<TrySpacing::Clock::time_point()>;

  struct Parts {
    PasswordStore& store;
    platform::StationFiles& files;
    // The customer account's hive, when the service may reach it; none:
    // its copies are not looked for.
    platform::CustomerRegistry* customer = nullptr;
  };

  explicit PasswordService(Parts parts, platform::LogSink log = {},
                           Clock clock = TrySpacing::Clock::now);

  // At the service's start: the store's key made (with its rights), which
  // tells the lock screens from now on to ask the service. Then what Upkeep
  // does. A failure is logged; the service runs on.
  void Start();
  // Every few seconds: krv.krv taken over and deleted, and the copies in
  // the customer account's hive, when it is loaded, taken over (the first
  // time) and deleted. Each failure is logged once until it changes.
  void Upkeep();

  // The reply to a request as it came over the channel; never throws. A
  // request that can't be read is refused without counting as a try.
  [[nodiscard]] std::string Answer(std::string_view request);
  [[nodiscard]] protocol::passwords::Reply LogIn(const protocol::passwords::LogIn& request);
  [[nodiscard]] protocol::passwords::Reply Change(const protocol::passwords::Change& request);

 private:
  // Logs the line unless it is the one this source logged last.
  void LogChange(std::string& last, const std::string& line);
  void Say(const std::vector<std::string>& lines);
  // The reply when wrong tries ask for a pause now (the first refusal of a
  // pause is logged); nullopt when a password may be checked.
  std::optional<protocol::passwords::Reply> Pause(std::string_view what);
  protocol::passwords::Reply Wrong(std::string_view what);
  bool Matches(PasswordKind kind, std::string_view password);

  Parts parts_;
  platform::LogSink log_;
  Clock clock_;
  TrySpacing spacing_;
  bool pause_logged_ = false;
  std::string password_file_;
  // The bytes of the krv.krv last taken over, while it is not deleted.
  std::optional<std::string> taken_file_;
  std::string last_file_failure_;
  std::string last_customer_failure_;
  std::string last_store_failure_;
  bool admin_missing_logged_ = false;
  int unreadable_ = 0;
  TrySpacing::Clock::time_point unreadable_logged_{};
};

}  // namespace zalvo::agent
