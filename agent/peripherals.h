// The station's monitor, mouse pointer, expiry beep and the server's
// messages to the user. None of it keeps state: while no session runs the
// tick repeats the monitor and mouse steps on every tick.
#pragma once

#include <chrono>
#include <string>

#include "platform/presence.h"

namespace zalvo::agent {

// How long a message of the server's stays on the screen unless it is
// clicked away or replaced.
inline constexpr std::chrono::milliseconds kMessageShownFor = std::chrono::seconds(30);

class Peripherals {
 public:
  explicit Peripherals(platform::Presence& presence) : desktop_(presence) {}

  // The monitor-power system command to all top-level windows; a hung window
  // holds the agent up only for a short bound.
  void MonitorOff() { desktop_.BroadcastMonitorPower(platform::kMonitorOff); }
  void MonitorOn() { desktop_.BroadcastMonitorPower(platform::kMonitorOn); }

  // Moves the mouse pointer to the top-left corner of the screen.
  void ParkMouse() { desktop_.SetCursorPosition(0, 0); }

  // The default system sound (MessageBeep type 0).
  void ExpiryBeep() { desktop_.MessageBeep(0); }

  // The text in the message window of the console's desktop; false when
  // nobody is logged on there.
  [[nodiscard]] bool ShowMessage(const std::string& text) {
    return desktop_.ShowMessage(text, kMessageShownFor);
  }

 private:
  platform::Presence& desktop_;
};

}  // namespace zalvo::agent
