// The wait before starting again what keeps failing to start (the session
// helper, the lock screen in the console session): no wait until a number of
// failures in a row, then a first pause that doubles with each failure more,
// up to the longest. A success counts afresh. The time is always the
// caller's (its steady clock, or a test's), given to each call.
#pragma once

#include <algorithm>
#include <chrono>

namespace zalvo::agent {

class RestartBackoff {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // Pauses begin with the failure that makes `pauses_from` in a row.
  RestartBackoff(int pauses_from, std::chrono::milliseconds first,
                 std::chrono::milliseconds longest)
      : pauses_from_(pauses_from), first_(first), longest_(longest) {}

  // One more failure in a row: the next start waits Pause() from now.
  void Failed(Time now) {
    ++failures_;
    resume_at_ = now + Pause();
  }
  // A start that worked: the count begins afresh, and nothing waits.
  void Succeeded() {
    failures_ = 0;
    resume_at_ = {};
  }

  int failures_in_a_row() const { return failures_; }
  // The pause that the failures so far call for.
  std::chrono::milliseconds Pause() const {
    const int doublings = failures_ - pauses_from_;
    if (doublings < 0) {
      return std::chrono::milliseconds(0);
    }
    std::chrono::milliseconds wait = first_;
    for (int i = 0; i < doublings && wait < longest_; ++i) {
      wait *= 2;
    }
    return std::min(wait, longest_);
  }
  // Whether the pause since the last failure still holds at `now`, and for
  // how much longer.
  bool Holds(Time now) const { return now < resume_at_; }
  std::chrono::milliseconds Left(Time now) const {
    return Holds(now) ? std::chrono::duration_cast<std::chrono::milliseconds>(resume_at_ - now)
                      : std::chrono::milliseconds(0);
  }

 private:
  int pauses_from_;
  std::chrono::milliseconds first_;
  std::chrono::milliseconds longest_;
  int failures_ = 0;
  Time resume_at_{};
};

}  // namespace zalvo::agent
