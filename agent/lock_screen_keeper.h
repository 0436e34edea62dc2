// When the service starts the lock screen zalvoc.exe in the console session:
// the customer account is logged on there and no lock screen runs in that
// session. A lock screen that was ended (from Task Manager) or crashed is so
// started again at the next look, and comes back locked when it was locked
// (it keeps that itself). One that keeps ending right after its start is
// started again less and less often, so that a broken installation does not
// have the service start programs without end.
//
// The service looks every tick and at every session change; it starts the
// program through its launcher in the customer's session.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "agent/agent.h"

namespace zalvo::agent {

// What the service sees of the console session at one look.
struct ConsoleSession {
  bool customer_logged_on = false;
  bool lock_screen_running = false;
};

class LockScreenKeeper {
 public:
  // The pause before a start that follows a start which did not last, the
  // longest such pause, and how long a lock screen must run to count as
  // lasting (which ends the pauses).
  static constexpr uint64_t kFirstPauseMs = 2000;
  static constexpr uint64_t kLongestPauseMs = 60000;
  static constexpr uint64_t kLastingMs = 30000;

  // Whether to start the lock screen now (now_ms from a steady clock). The
  // caller then calls Started, whether or not the start succeeded.
  [[nodiscard]] bool ShouldStart(const ConsoleSession& session, uint64_t now_ms);
  void Started(uint64_t now_ms);

 private:
  bool started_ = false;
  bool lasted_ = false;  // the last one started was seen running long enough
  uint64_t started_at_ = 0;
  uint64_t pause_ = 0;  // before the next start, counted from the last one
};

// The console session as the service sees it, and the start of the lock
// screen there as the user logged on at the console.
class ConsoleLockScreen {
 public:
  virtual ~ConsoleLockScreen() = default;
  // Throws PlatformError when the system can't say.
  [[nodiscard]] virtual ConsoleSession Look() = 0;
  // Empty when started; otherwise the system's words for why not.
  [[nodiscard]] virtual std::string Start() = 0;
};

// Looks at the console session at each tick and starts the lock screen there
// when the keeper says so; logs every start and failure, never throws.
class LockScreenUpkeep {
 public:
  LockScreenUpkeep(ConsoleLockScreen& console, LogSink log)
      : console_(console), log_(std::move(log)) {}

  void Upkeep(uint64_t now_ms);

 private:
  ConsoleLockScreen& console_;
  LogSink log_;
  LockScreenKeeper keeper_;
  std::string last_failure_;  // logged once until it changes or a start works
};

}  // namespace zalvo::agent
