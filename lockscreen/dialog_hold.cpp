#include "lockscreen/dialog_hold.h"

namespace zalvo::lockscreen {

DialogHold::Step DialogHold::Order(std::chrono::steady_clock::time_point now) {
  if (!since_) {
    since_ = now;
    return Step::kBegins;
  }
  const auto open = now - *since_;
  if (open >= kLongest) {
    Reset();
    return Step::kEnds;
  }
  if (open >= kLongest - kWarnBefore && !warned_) {
    warned_ = true;
    return Step::kWarns;
  }
  return Step::kHolds;
}

}  // namespace zalvo::lockscreen
