// The Windows session through user32, advapi32, kernel32 and shell32.
#pragma once

#include <windows.h>

#include "platform/desktop.h"

namespace zalvo::win32 {

// Enables or disables one privilege of an access token with the two-step
// adjustment: the first call asks for the previous state, the second sets
// the enabled bit in it. True exactly when the last error is then 0.
bool SetTokenPrivilege(HANDLE token, std::string_view name, bool enable);

class Win32Desktop final : public platform::Desktop {
 public:
  bool LockWorkStation() override;
  bool EnablePrivilege(std::string_view name) override;
  bool ExitSession(platform::ExitMode mode) override;
  platform::WindowHandle ForegroundWindow() override;
  std::vector<platform::WindowHandle> TopLevelWindows() override;
  std::string WindowCaption(platform::WindowHandle window) override;
  platform::WindowHandle FindWindowByCaption(std::string_view caption) override;
  uint32_t WindowProcessId(platform::WindowHandle window) override;
  bool TerminateProcess(uint32_t process_id, uint32_t exit_code) override;
  bool ShellOpen(const std::string& file, const std::string& parameters,
                 const std::string& directory, int show_command) override;
  void BroadcastMonitorPower(int32_t state) override;
  void SendSystemCommand(platform::WindowHandle window, uint32_t command) override;
  void SetCursorPosition(int32_t x, int32_t y) override;
  void MessageBeep(uint32_t type) override;
  std::optional<uint64_t> FreeBytesOnDriveC() override;
};

inline HWND ToHwnd(platform::WindowHandle handle) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
}
inline platform::WindowHandle FromHwnd(HWND hwnd) {
  return static_cast<platform::WindowHandle>(reinterpret_cast<uintptr_t>(hwnd));
}

}  // namespace zalvo::win32
