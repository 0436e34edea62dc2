#include "agent/lock_screen_keeper.h"

#include <algorithm>

#include "platform/error.h"

namespace zalvo::agent {

bool LockScreenKeeper::ShouldStart(const ConsoleSession& session, uint64_t now_ms) {
  if (!session.customer_logged_on) {
    // Nobody to start it for; the next log-on starts afresh.
    *this = LockScreenKeeper{};
    return false;
  }
  if (session.lock_screen_running) {
    if (started_ && now_ms - started_at_ >= kLastingMs) {
      lasted_ = true;  // the next end is an ordinary one
    }
    return false;
  }
  return !started_ || lasted_ || now_ms - started_at_ >= pause_;
}

void LockScreenKeeper::Started(uint64_t now_ms) {
  // A start after one that did not last makes the next pause twice as long.
  if (lasted_ || !started_) {
    pause_ = 0;
  } else {
    pause_ = pause_ == 0 ? kFirstPauseMs : std::min(pause_ * 2, kLongestPauseMs);
  }
  started_ = true;
  lasted_ = false;
  started_at_ = now_ms;
}

void LockScreenUpkeep::Upkeep(uint64_t now_ms) {
  ConsoleSession session;
  try {
    session = console_.Look();
  } catch (const platform::PlatformError& e) {
    std::string failure = std::string("console session not seen: ") + e.what();
    if (failure != last_failure_ && log_) {
      log_(failure);
    }
    last_failure_ = std::move(failure);
    return;
  }
  if (!keeper_.ShouldStart(session, now_ms)) {
    return;
  }
  std::string reason = console_.Start();
  keeper_.Started(now_ms);
  if (reason.empty()) {
    last_failure_.clear();
    if (log_) {
      log_("lock screen started in the console session");
    }
    return;
  }
  std::string failure = "lock screen not started in the console session: " + reason;
  if (failure != last_failure_ && log_) {
    log_(failure);
  }
  last_failure_ = std::move(failure);
}

}  // namespace zalvo::agent
