// How long the settings dialog holds the service's lock order off. While no
// session runs the order comes at every tick; the first one that finds the
// dialog open begins the hold, the one a minute before its end has the
// dialog warn, and the first one after kLongest closes the dialog without
// saving and locks. An order that finds the dialog closed ends the hold.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zalvo::lockscreen {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

class DialogHold {
 public:
  static constexpr std::chrono::minutes kLongest{10};
  static constexpr std::chrono::minutes kWarnBefore{1};

  enum class Step : uint8_t {
    kBegins,  // the first order while the dialog is open
    kHolds,   // the order waits
    kWarns,   // once, a minute before the end
    kEnds,    // close the dialog without saving and lock
  };

  // An order found the dialog open at `now`.
  [[nodiscard]] Step Order(std::chrono::steady_clock::time_point now);
  // An order found the dialog closed.
  void Reset() { *this = DialogHold{}; }

 private:
  std::optional<std::chrono::steady_clock::time_point> since_;
  bool warned_ = false;
};

}  // namespace zalvo::lockscreen
