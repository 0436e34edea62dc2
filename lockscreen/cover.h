// The locked screen's cover, as portable arithmetic and decisions that the
// Win32 window and its keyboard filter carry out: the rectangle that covers
// every monitor, where the primary monitor (with the status bar and the
// log-in panel) sits in it, and which keys the filter swallows while the
// station is locked.
#pragma once

#include <cstdint>
#include <vector>

namespace zalvo::lockscreen {

// A rectangle in desktop coordinates (right and bottom exclusive). Monitors
// left of or above the primary one have negative coordinates.
struct ScreenRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
  bool operator==(const ScreenRect&) const = default;
};

struct CoverLayout {
  // The window: the smallest rectangle holding every monitor (the virtual
  // screen).
  ScreenRect window;
  // Each monitor, and the primary one, in the window's client coordinates.
  std::vector<ScreenRect> monitors;
  ScreenRect primary;
};

// The cover for the monitors, given in any order with the primary one among
// them or not. Without monitors (the system listed none) the primary one
// alone is covered.
CoverLayout CoverFor(const std::vector<ScreenRect>& monitors, const ScreenRect& primary);

// One key event as the low-level keyboard filter sees it: the virtual-key
// code, whether Alt is held (the event's own flag) and whether Ctrl is held.
struct KeyStroke {
  uint32_t virtual_key = 0;
  bool alt_down = false;
  bool ctrl_down = false;
};

// Virtual-key codes the filter knows.
inline constexpr uint32_t kVkTab = 0x09;
inline constexpr uint32_t kVkEscape = 0x1B;
inline constexpr uint32_t kVkLeftWindows = 0x5B;
inline constexpr uint32_t kVkRightWindows = 0x5C;
inline constexpr uint32_t kVkF4 = 0x73;

// Whether a locked station swallows the key event, both its press and its
// release: either Windows key (alone or in a combination), Ctrl+Esc (also
// with Shift, which opens Task Manager), Alt+Tab, Alt+Esc and Alt+F4. Every
// other key reaches the log-in panel. Ctrl+Alt+Del can't be filtered.
bool SwallowWhileLocked(const KeyStroke& key);

}  // namespace zalvo::lockscreen
