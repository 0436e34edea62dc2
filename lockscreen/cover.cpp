#include "lockscreen/cover.h"

#include <algorithm>

namespace zalvo::lockscreen {
namespace {

ScreenRect Relative(const ScreenRect& r, const ScreenRect& origin) {
  return {r.left - origin.left, r.top - origin.top, r.right - origin.left, r.bottom - origin.top};
}

}  // namespace

CoverLayout CoverFor(const std::vector<ScreenRect>& monitors, const ScreenRect& primary) {
  CoverLayout layout;
  layout.window = primary;
  for (const ScreenRect& m : monitors) {
    layout.window.left = std::min(layout.window.left, m.left);
    layout.window.top = std::min(layout.window.top, m.top);
    layout.window.right = std::max(layout.window.right, m.right);
    layout.window.bottom = std::max(layout.window.bottom, m.bottom);
  }
  for (const ScreenRect& m : monitors.empty() ? std::vector<ScreenRect>{primary} : monitors) {
    layout.monitors.push_back(Relative(m, layout.window));
  }
  layout.primary = Relative(primary, layout.window);
  return layout;
}

bool SwallowWhileLocked(const KeyStroke& key) {
  switch (key.virtual_key) {
    case kVkLeftWindows:
    case kVkRightWindows:
      return true;
    case kVkEscape:
      return key.ctrl_down || key.alt_down;
    case kVkTab:
    case kVkF4:
      return key.alt_down;
    default:
      return false;
  }
}

}  // namespace zalvo::lockscreen
