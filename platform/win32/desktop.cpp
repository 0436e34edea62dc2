#include "platform/win32/desktop.h"

#include <windows.h>
// After windows.h.
#include <objbase.h>
#include <shellapi.h>

#include "platform/win32/desktop_helpers.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// A hung or slow window does not hold the monitor broadcast up longer than
// this; responsive windows handle it well within the bound.
constexpr UINT kBroadcastTimeoutMs = 1000;
// A window that is hung, or that asks its user something before it closes,
// does not hold the sender's (single) thread up longer than this.
constexpr UINT kSystemCommandTimeoutMs = 5000;

constexpr DWORD kProcessAllAccess = 0x1F0FFF;  // PROCESS_ALL_ACCESS of the older systems
constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;  // 0x28

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<platform::WindowHandle>*>(param)->push_back(FromHwnd(hwnd));
  return TRUE;
}

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

}  // namespace

std::unique_ptr<platform::Desktop> MakeWin32Desktop() {
  return std::make_unique<Win32Desktop>();
}

bool SetTokenPrivilege(HANDLE token, std::string_view name, bool enable) {
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, Widen(name).c_str(), &luid)) {
    return false;
  }
  TOKEN_PRIVILEGES request{};
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid = luid;
  request.Privileges[0].Attributes = 0;
  TOKEN_PRIVILEGES previous{};
  DWORD previous_size = sizeof previous;
  AdjustTokenPrivileges(token, FALSE, &request, sizeof request, &previous, &previous_size);
  if (GetLastError() != ERROR_SUCCESS) {
    return false;
  }
  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = luid;
  if (enable) {
    previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
  } else {
    previous.Privileges[0].Attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
  }
  TOKEN_PRIVILEGES ignored{};
  DWORD ignored_size = sizeof ignored;
  AdjustTokenPrivileges(token, FALSE, &previous, sizeof previous, &ignored, &ignored_size);
  return (GetLastError() & 0xFFFF) == ERROR_SUCCESS;
}

bool Win32Desktop::LockWorkStation() {
  return ::LockWorkStation() != FALSE;
}

bool Win32Desktop::EnablePrivilege(std::string_view name) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &raw)) {
    return false;
  }
  ScopedHandle token(raw);
  return SetTokenPrivilege(token.get(), name, true);
}

bool Win32Desktop::ExitSession(platform::ExitMode mode) {
  return ExitWindowsEx(static_cast<UINT>(mode), 0) != FALSE;
}

platform::WindowHandle Win32Desktop::ForegroundWindow() {
  return FromHwnd(GetForegroundWindow());
}

std::vector<platform::WindowHandle> Win32Desktop::TopLevelWindows() {
  std::vector<platform::WindowHandle> windows;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::string Win32Desktop::WindowCaption(platform::WindowHandle window) {
  wchar_t buffer[platform::kMaxCaption + 1] = {};
  int n = GetWindowTextW(ToHwnd(window), buffer, static_cast<int>(platform::kMaxCaption + 1));
  return Narrow(std::wstring_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

platform::WindowHandle Win32Desktop::FindWindowByCaption(std::string_view caption) {
  return FromHwnd(FindWindowW(nullptr, Widen(caption).c_str()));
}

uint32_t Win32Desktop::WindowProcessId(platform::WindowHandle window) {
  DWORD process_id = 0;
  GetWindowThreadProcessId(ToHwnd(window), &process_id);
  return process_id;
}

bool Win32Desktop::TerminateProcess(uint32_t process_id, uint32_t exit_code) {
  HANDLE raw = OpenProcess(kProcessAllAccess, TRUE, process_id);
  if (raw == nullptr) {
    return false;
  }
  ScopedHandle process(raw);
  return ::TerminateProcess(process.get(), exit_code) != FALSE;
}

bool Win32Desktop::ShellOpen(const std::string& file, const std::string& parameters,
                             const std::string& directory, int show_command) {
  // The texts go to the shell whole, however long: a shortened path would
  // start another program.
  std::wstring wfile = Widen(file);
  std::wstring wparameters = Widen(parameters);
  std::wstring wdirectory = Widen(directory);
  // The shell may hand the file to an extension that needs COM on this thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  HINSTANCE result = ShellExecuteW(nullptr, nullptr, wfile.c_str(),
                                   wparameters.empty() ? nullptr : wparameters.c_str(),
                                   wdirectory.empty() ? nullptr : wdirectory.c_str(), show_command);
  if (SUCCEEDED(com)) {
    CoUninitialize();
  }
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void Win32Desktop::BroadcastMonitorPower(int32_t state) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SYSCOMMAND, SC_MONITORPOWER, static_cast<LPARAM>(state),
                      SMTO_ABORTIFHUNG, kBroadcastTimeoutMs, &ignored);
}

void Win32Desktop::SendSystemCommand(platform::WindowHandle window, uint32_t command) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(ToHwnd(window), WM_SYSCOMMAND, command, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kSystemCommandTimeoutMs, &ignored);
}

void Win32Desktop::SetCursorPosition(int32_t x, int32_t y) {
  SetCursorPos(x, y);
}

void Win32Desktop::MessageBeep(uint32_t type) {
  ::MessageBeep(type);
}

std::optional<uint64_t> Win32Desktop::FreeBytesOnDriveC() {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(L"C:\\", &available, nullptr, nullptr)) {
    return std::nullopt;
  }
  return available.QuadPart;
}

}  // namespace zalvo::win32
