// The station's monitor, mouse pointer and expiry beep. None of it keeps
// state: while no session runs the tick repeats the monitor and mouse steps
// on every tick.
#pragma once

#include "platform/desktop.h"

namespace zalvo::agent {

class Peripherals {
 public:
  explicit Peripherals(platform::Desktop& desktop) : desktop_(desktop) {}

  // The monitor-power system command to all top-level windows; a hung window
  // holds the agent up only for a short bound.
  void MonitorOff() { desktop_.BroadcastMonitorPower(platform::kMonitorOff); }
  void MonitorOn() { desktop_.BroadcastMonitorPower(platform::kMonitorOn); }

  // Moves the mouse pointer to the top-left corner of the screen.
  void ParkMouse() { desktop_.SetCursorPosition(0, 0); }

  // The default system sound (MessageBeep type 0).
  void ExpiryBeep() { desktop_.MessageBeep(0); }

 private:
  platform::Desktop& desktop_;
};

}  // namespace zalvo::agent
