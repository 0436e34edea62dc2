// What the person at a desktop sees and hears of a program: the workstation
// lock, the monitor, the mouse pointer, the speaker's beep and a message in
// a small window. Texts are Windows-1251.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zalvo::platform {

// The monitor-power parameter of the system command.
inline constexpr int32_t kMonitorOff = 2;
inline constexpr int32_t kMonitorOn = -1;

class Presence {
 public:
  virtual ~Presence() = default;

  // Locks the workstation; false when the system refused.
  [[nodiscard]] virtual bool LockWorkStation() = 0;

  // Posts the monitor-power system command to all top-level windows (no
  // window, hung or slow, holds the caller up). Switching the monitor on
  // also moves the mouse pointer by one pixel and back, which wakes a
  // display that ignores the message; a wake-up that the system refused (the
  // input desktop is another, such as the sign-in screen or a UAC prompt)
  // throws PlatformError after the message was posted.
  virtual void BroadcastMonitorPower(int32_t state) = 0;

  virtual void SetCursorPosition(int32_t x, int32_t y) = 0;
  virtual void MessageBeep(uint32_t type) = 0;

  // Shows a text to the person at this desktop in a small topmost window
  // that takes neither the keyboard nor the front from the program in use
  // (a game keeps both), until `shown_for` has passed or it is clicked; a
  // newer text replaces one still shown. Returns at once: the window lives
  // on a thread of its own. False, and nothing shown, when nobody is logged
  // on to see it.
  [[nodiscard]] virtual bool ShowMessage(const std::string& text,
                                         std::chrono::milliseconds shown_for) = 0;
};

}  // namespace zalvo::platform
