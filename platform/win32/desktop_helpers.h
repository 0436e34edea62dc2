// Win32 pieces of the desktop that other Win32 code (and its tests) use too:
// the privilege switch on a given token and the window handle conversions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "platform/desktop.h"

namespace zalvo::win32 {

// Enables or disables one privilege of an access token with the two-step
// adjustment: the first call asks for the previous state, the second sets
// the enabled bit in it. True exactly when the last error is then 0.
[[nodiscard]] bool SetTokenPrivilege(HANDLE token, std::string_view name, bool enable);

inline HWND ToHwnd(platform::WindowHandle handle) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
}
inline platform::WindowHandle FromHwnd(HWND hwnd) {
  return static_cast<platform::WindowHandle>(reinterpret_cast<uintptr_t>(hwnd));
}

}  // namespace zalvo::win32
