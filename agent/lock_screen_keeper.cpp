#include "agent/lock_screen_keeper.h"

#include <algorithm>

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

}  // namespace zalvo::agent
