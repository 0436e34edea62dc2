// Whether the lock the service holds while no session runs is a fact: at
// each tick a look from the service's side (platform/lock_cover.h) says
// whether the installed lock screen's cover is what the customer sees. What
// is not confirmed is not locked ("no window found" included), and the
// service escalates:
//
// - a lock screen that has just come up (started by the service or first
//   seen running) gets kAllowanceMs to show its cover; once confirmed, it
//   has shown it;
// - unconfirmed for kEndAfterMs after that, the service ends it and starts
//   another (once in an episode of unconfirmed looks);
// - still unconfirmed kLogOffAfterMs after that end (or, when nothing was
//   ended, kAllowanceMs + kEndAfterMs + kLogOffAfterMs after the episode
//   began: a customer who ends each new lock screen before it shows), the
//   customer's Windows session is logged off: no session means Windows' own
//   sign-in screen. A log-off that did not happen is asked for again after
//   kLogOffAfterMs.
//
// An episode is over when the cover has been confirmed for kSettledMs
// without a break: a cover that shows now and then (the customer's window
// over it most of the time) does not begin the escalation again.
//
// The lock screen's settings dialog, which only the administrator's
// password opens, holds the lock off for at most kDialogHoldMs from when it
// was first seen; then the lock is checked again.
//
// Times are milliseconds of a steady clock, given to each call.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/lock_cover.h"

namespace zalvo::agent {

class LockConfirmation {
 public:
  static constexpr uint64_t kAllowanceMs = 15000;
  static constexpr uint64_t kEndAfterMs = 10000;
  static constexpr uint64_t kLogOffAfterMs = 30000;
  static constexpr uint64_t kSettledMs = 30000;
  static constexpr uint64_t kDialogHoldMs = 600000;  // 10 minutes

  enum class Step : uint8_t {
    kConfirmed,      // the cover is what the customer sees
    kDialogHold,     // the settings dialog holds the lock off, for now
    kAllowance,      // a lock screen that has just come up has time to show its cover
    kUnconfirmed,    // not confirmed; nothing more to do yet
    kEndLockScreen,  // end the lock screen; the keeper starts another
    kLogOff,         // log the customer's Windows session off
  };

  // At a tick while the lock is held: the newest look (nullptr when none
  // could be had; one asked for before the running lock screen came up
  // counts as none) and whether the installed lock screen runs (or was
  // started at this tick).
  [[nodiscard]] Step Next(const platform::CoverLook* look, bool running, uint64_t now_ms);
  // The service started a lock screen: its allowance begins now.
  void Started(uint64_t now_ms) {
    running_since_ = now_ms;
    shown_cover_ = false;
  }
  // The hold ended (a session runs, the customer is gone): all afresh.
  void Reset() { *this = LockConfirmation{}; }

  // An episode of unconfirmed looks is open (confirmed looks since then
  // have not yet lasted kSettledMs).
  bool unconfirmed() const { return episode_since_.has_value(); }

 private:
  void EndEpisode();

  std::optional<uint64_t> running_since_;    // the lock screen running now
  bool shown_cover_ = false;                 // it was confirmed: its allowance is over
  std::optional<uint64_t> dialog_since_;     // the settings dialog seen open
  std::optional<uint64_t> episode_since_;    // the first unconfirmed look
  std::optional<uint64_t> confirmed_since_;  // confirmed looks in a row
  std::optional<uint64_t> ended_at_;         // the lock screen ended in this episode
  std::optional<uint64_t> logged_off_at_;    // the last log-off asked for
};

}  // namespace zalvo::agent
