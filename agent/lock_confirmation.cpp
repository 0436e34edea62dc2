#include "agent/lock_confirmation.h"

#include <algorithm>

namespace zalvo::agent {

void LockConfirmation::EndEpisode() {
  episode_since_.reset();
  confirmed_since_.reset();
  ended_at_.reset();
  logged_off_at_.reset();
}

LockConfirmation::Step LockConfirmation::Next(const platform::CoverLook* look, bool running,
                                              uint64_t now_ms) {
  if (!running) {
    running_since_.reset();
    shown_cover_ = false;
  } else if (!running_since_) {
    running_since_ = now_ms;
  }
  if (look != nullptr && look->asked_at_ms && running_since_ &&
      *look->asked_at_ms < *running_since_) {
    look = nullptr;  // of the screen before this lock screen ran
  }
  if (look != nullptr) {
    if (!look->settings_dialog) {
      dialog_since_.reset();
    } else if (!dialog_since_) {
      dialog_since_ = now_ms;
    }
  }
  if (dialog_since_ && now_ms - *dialog_since_ < kDialogHoldMs) {
    EndEpisode();
    return Step::kDialogHold;
  }
  if (look != nullptr && look->covered) {
    shown_cover_ = running;  // its allowance is over
    if (!confirmed_since_) {
      confirmed_since_ = now_ms;
    }
    if (now_ms - *confirmed_since_ >= kSettledMs) {
      EndEpisode();
    }
    return Step::kConfirmed;
  }
  confirmed_since_.reset();
  if (!episode_since_) {
    episode_since_ = now_ms;
  }
  uint64_t log_off_at = ended_at_ ? *ended_at_ + kLogOffAfterMs
                                  : *episode_since_ + kAllowanceMs + kEndAfterMs + kLogOffAfterMs;
  if (logged_off_at_) {
    log_off_at = std::max(log_off_at, *logged_off_at_ + kLogOffAfterMs);
  }
  if (now_ms >= log_off_at) {
    logged_off_at_ = now_ms;
    return Step::kLogOff;
  }
  if (!running) {
    return Step::kUnconfirmed;  // the keeper starts one
  }
  if (!shown_cover_ && now_ms - *running_since_ < kAllowanceMs) {
    return Step::kAllowance;
  }
  const uint64_t since =
      shown_cover_ ? *episode_since_ : std::max(*episode_since_, *running_since_ + kAllowanceMs);
  if (!ended_at_ && now_ms - since >= kEndAfterMs) {
    ended_at_ = now_ms;
    return Step::kEndLockScreen;
  }
  return Step::kUnconfirmed;
}

}  // namespace zalvo::agent
