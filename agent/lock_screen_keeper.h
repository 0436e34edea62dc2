// The service's hold on the console session: no session running means
// locked.
//
// The service trusts only its own session state, the one it keeps across its
// restarts in a key only SYSTEM and the administrators may write
// (agent/session_store.h), handed to every upkeep. (The lock screen's own
// lock state is in the customer's hive, which the customer may write.)
// While no session runs and the customer account is logged on at the
// console, every tick:
// - keeps the installed lock screen running in that session,
// - tells it to lock (an order that can only lock),
// - disables the customer's Task Manager (DisableTaskMgr 1 in its hive),
// - keeps AutoAdminLogon "0", so that a sign-out or a restart that fails
//   ends at Windows' sign-in screen, never in an unlocked session.
// When a session runs, the Task Manager policy the hold found goes back
// (kept in the service's own key, SOFTWARE\Zalvo, until then), and the lock
// screen's own lock and unlock are left to it. Another account at the
// console gets none of this.
//
// The lock order is not taken for the lock: while the lock is held, a look
// from the service's own side (platform/lock_cover.h) confirms at each tick
// that the lock screen's cover is what the customer sees, and what stays
// unconfirmed escalates (agent/lock_confirmation.h): the lock screen is
// ended and another started, then the customer's Windows session is logged
// off.
//
// The lock screen is kept running in sessions too. One that is missing is
// started at the next tick; only starts that fail (the start itself, or a
// lock screen gone before it came up, several times in a row) wait, longer
// each time, so that a broken installation does not have the service start
// programs without end. A lock screen came up when a look saw its window or
// when it lasted a few seconds; one that the service ended (it failed the
// check) or that ended after it came up is no failed start. Just after a
// log-on the keeper waits for the shell's own start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "agent/lock_confirmation.h"
#include "agent/restart_backoff.h"
#include "platform/console_session.h"
#include "platform/lock_cover.h"
#include "platform/log_sink.h"
#include "platform/registry.h"

namespace zalvo::agent {

// Where the service keeps the customer's Task Manager policy it replaced.
inline constexpr std::string_view kHoldKey = "SOFTWARE\\Zalvo";
inline constexpr std::string_view kTaskManagerHeld = "TaskManagerHeld";
inline constexpr std::string_view kTaskManagerBefore = "TaskManagerBefore";

class LockScreenKeeper {
 public:
  // A lock screen gone within this time of its start, before a look saw its
  // window, did not start.
  static constexpr uint64_t kQuickEndMs = 5000;
  // Failed starts in a row before the pauses begin; the first and the
  // longest pause.
  static constexpr int kFailuresBeforePause = 3;
  static constexpr uint64_t kFirstPauseMs = 2000;
  static constexpr uint64_t kLongestPauseMs = 60000;
  // After a log-on: the wait for the shell's own start, and the longest
  // wait while the system's log-on program still runs.
  static constexpr uint64_t kLogOnSettleMs = 20000;
  static constexpr uint64_t kLongestShellStartMs = 120000;

  enum class Decision : uint8_t {
    kLeave,         // nobody to start it for, or it runs
    kStart,         // start one now, then call Started
    kWaitForLogOn,  // the log-on has only just happened
    kPause,         // starts failed several times in a row
  };

  // now_ms from a steady clock.
  [[nodiscard]] Decision Decide(const platform::ConsoleSession& session, uint64_t now_ms);
  void Started(bool started, uint64_t now_ms);
  // A look saw the window of a lock screen: the one started last came up,
  // unless the look was asked for (at `asked_at_ms`) before its start.
  void CameUp(std::optional<uint64_t> asked_at_ms = std::nullopt);
  // The service ended the lock screen (it failed the check): no failed
  // start, and the next start waits for nothing.
  void EndedByService();

  int failures_in_a_row() const { return backoff_.failures_in_a_row(); }
  uint64_t pause_ms() const { return static_cast<uint64_t>(backoff_.Pause().count()); }

 private:
  static RestartBackoff::Time At(uint64_t now_ms) {
    return RestartBackoff::Time(std::chrono::milliseconds(now_ms));
  }

  bool seen_ = false;  // the customer's log-on, since first_seen_at_
  uint64_t first_seen_at_ = 0;
  bool started_ = false;  // the last one started has not yet lasted
  uint64_t started_at_ = 0;
  RestartBackoff backoff_{kFailuresBeforePause, std::chrono::milliseconds(kFirstPauseMs),
                          std::chrono::milliseconds(kLongestPauseMs)};
};

// The rule at each tick: looks at the console session, keeps the lock screen
// there, and holds the lock while no session runs. Logs what it does and
// each new failure once; never throws.
class LockScreenUpkeep {
 public:
  // `machine` holds the Windows log-on key and the service's own key; the
  // lock held is confirmed through `cover` (without one, as the console run
  // of the agent has, the order is all there is).
  LockScreenUpkeep(platform::ConsoleLockScreen& console, platform::Registry& machine,
                   platform::LogSink log, platform::LockCover* cover = nullptr)
      : console_(console), machine_(machine), log_(std::move(log)), cover_(cover) {}

  // `session_runs`: the service's own session state.
  void Upkeep(uint64_t now_ms, bool session_runs);

 private:
  // What can fail, each logged once until it changes or works again.
  enum Slot : uint8_t { kLook, kStart, kLogon, kTaskManager, kLockOrder, kCover, kLogOff, kSlots };

  void Keep(const platform::ConsoleSession& session, uint64_t now_ms);
  void HoldLock(bool running, uint64_t now_ms);
  void ConfirmLock(bool running, uint64_t now_ms);
  void SayUnconfirmed(const std::string& seen);
  void EndLockScreen(const std::string& seen);
  void LogOffCustomer(const std::string& seen);
  void HoldAutoAdminLogon();
  void HoldTaskManager();
  void TellToLock();
  void GiveTaskManagerBack();
  void Failure(Slot slot, const std::string& line);
  void Cleared(Slot slot) { failures_[slot].clear(); }

  platform::ConsoleLockScreen& console_;
  platform::Registry& machine_;
  platform::LogSink log_;
  platform::LockCover* cover_;
  LockScreenKeeper keeper_;
  LockScreenKeeper::Decision last_decision_ = LockScreenKeeper::Decision::kLeave;
  bool started_now_ = false;     // at this tick
  bool holding_ = false;         // the customer at the console, no session
  bool all_were_locked_ = true;  // at the last lock order
  LockConfirmation confirmation_;
  LockConfirmation::Step last_step_ = LockConfirmation::Step::kAllowance;
  bool said_confirmed_ = false;    // since the hold began or the last episode
  bool said_unconfirmed_ = false;  // in this episode
  std::string failures_[kSlots];
};

}  // namespace zalvo::agent
