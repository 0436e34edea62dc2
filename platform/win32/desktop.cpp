#include "platform/win32/desktop.h"

#include <windows.h>
// After windows.h.
#include <objbase.h>
#include <shellapi.h>

#include "platform/error.h"
#include "platform/win32/desktop_helpers.h"
#include "platform/win32/error.h"
#include "platform/win32/message_window.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// A window that is hung, or that asks its user something before it closes,
// does not hold the sender's (single) thread up longer than this.
constexpr UINT kSystemCommandTimeoutMs = 5000;

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;  // 0x28

// A planned shut-down for a reason Windows has no name for: it does not wait
// as an unplanned one may, and the event log says it was planned.
constexpr DWORD kShutdownReason =
    SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_OTHER | SHTDN_REASON_FLAG_PLANNED;

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<platform::WindowHandle>*>(param)->push_back(FromHwnd(hwnd));
  return TRUE;
}

class Win32Desktop final : public platform::Desktop {
 public:
  bool LockWorkStation() override;
  bool EnablePrivilege(std::string_view name) override;
  void ShutDownSystem(platform::PowerOff what) override;
  bool LogOff() override;
  platform::WindowHandle ForegroundWindow() override;
  std::vector<platform::WindowHandle> TopLevelWindows() override;
  std::string WindowCaption(platform::WindowHandle window) override;
  platform::WindowHandle FindWindowByCaption(std::string_view caption) override;
  uint32_t WindowProcessId(platform::WindowHandle window) override;
  bool TerminateProcess(uint32_t process_id, uint32_t exit_code) override;
  OwnerEnd EndWindowOwner(std::string_view caption, uint32_t exit_code) override;
  Start ShellOpen(const std::string& file, const std::string& parameters,
                  const std::string& directory, int show_command) override;
  void BroadcastMonitorPower(int32_t state) override;
  void CloseWindow(platform::WindowHandle window) override;
  void SetCursorPosition(int32_t x, int32_t y) override;
  void MessageBeep(uint32_t type) override;
  bool ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) override;
  std::optional<uint64_t> FreeBytesOnDriveC() override;

 private:
  MessageWindow message_;
};

// AbortSystemShutdown of the local computer.
class Win32PendingShutdown final : public platform::PendingShutdown {
 public:
  bool Abort() override { return AbortSystemShutdownW(nullptr) != FALSE; }
};

}  // namespace

std::unique_ptr<platform::PendingShutdown> MakeWin32PendingShutdown() {
  return std::make_unique<Win32PendingShutdown>();
}

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

void Win32Desktop::ShutDownSystem(platform::PowerOff what) {
  // No time-out: no dialog, and it can't be aborted. Programs are closed
  // without asking (unsaved work is lost), as the station needs.
  if (!InitiateSystemShutdownExW(nullptr, nullptr, 0, TRUE, what == platform::PowerOff::kRestart,
                                 kShutdownReason)) {
    ThrowLastError("InitiateSystemShutdownEx");
  }
}

bool Win32Desktop::LogOff() {
  return ExitWindowsEx(EWX_LOGOFF | EWX_FORCE, 0) != FALSE;
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
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, process_id));
  return process && ::TerminateProcess(process.get(), exit_code) != FALSE;
}

platform::TopWindows::OwnerEnd Win32Desktop::EndWindowOwner(std::string_view caption,
                                                            uint32_t exit_code) {
  OwnerEnd end;
  HWND window = FindWindowW(nullptr, Widen(caption).c_str());
  if (window == nullptr) {
    return end;
  }
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  end.process_id = process_id;
  if (process_id == 0) {
    return end;  // gone in between: nothing of it to end
  }
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, process_id));
  if (!process) {
    return end;
  }
  // The id can't name another process while the handle is open; the window
  // must still be that process's.
  DWORD owner_now = 0;
  if (IsWindow(window) == FALSE || GetWindowThreadProcessId(window, &owner_now) == 0 ||
      owner_now != process_id) {
    end.process_id = 0;
    return end;
  }
  end.ended = ::TerminateProcess(process.get(), exit_code) != FALSE;
  return end;
}

platform::Shell::Start Win32Desktop::ShellOpen(const std::string& file,
                                               const std::string& parameters,
                                               const std::string& directory, int show_command) {
  // The texts go to the shell whole, however long: a shortened path would
  // start another program.
  std::wstring wfile = Widen(file);
  std::wstring wparameters = Widen(parameters);
  std::wstring wdirectory = Widen(directory);
  // The shell may hand the file to an extension that needs COM on this thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // Done when the call returns (this thread pumps no messages); no error box
  // of the shell's own (the caller logs the reason); the process handle
  // asked for only to be closed here, so that nothing keeps the program.
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = wfile.c_str();
  info.lpParameters = wparameters.empty() ? nullptr : wparameters.c_str();
  info.lpDirectory = wdirectory.empty() ? nullptr : wdirectory.c_str();
  info.nShow = show_command;
  BOOL started = ShellExecuteExW(&info);
  DWORD error = GetLastError();
  if (info.hProcess != nullptr) {
    CloseHandle(info.hProcess);
  }
  if (SUCCEEDED(com)) {
    CoUninitialize();
  }
  if (!started) {
    ThrowError("ShellExecuteEx " + file, error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : error);
  }
  return Start::kStarted;
}

void Win32Desktop::BroadcastMonitorPower(int32_t state) {
  // Posted: a window that does not look at its messages waits for nobody.
  if (!PostMessageW(HWND_BROADCAST, WM_SYSCOMMAND, SC_MONITORPOWER, static_cast<LPARAM>(state))) {
    ThrowLastError("PostMessage(HWND_BROADCAST, SC_MONITORPOWER)");
  }
  if (state != platform::kMonitorOn) {
    return;
  }
  // Many displays ignore the message's "on": input wakes them. A move of one
  // pixel and back (relative, so that its sum is none whatever the pointer's
  // speed), then the pointer put back where it was.
  POINT where{};
  BOOL known = GetCursorPos(&where);
  INPUT moves[2] = {};
  moves[0].type = INPUT_MOUSE;
  moves[0].mi.dx = 1;
  moves[0].mi.dwFlags = MOUSEEVENTF_MOVE;
  moves[1] = moves[0];
  moves[1].mi.dx = -1;
  SetLastError(ERROR_SUCCESS);
  UINT sent = SendInput(2, moves, sizeof(INPUT));
  DWORD error = GetLastError();
  if (known) {
    SetCursorPos(where.x, where.y);
  }
  if (sent != 2) {
    throw platform::SystemError(
        "the wake-up input was not taken (the input desktop is another: the sign-in screen or a "
        "UAC prompt): " +
            (error == ERROR_SUCCESS ? std::string("refused") : ErrorText(error)),
        error);
  }
}

void Win32Desktop::CloseWindow(platform::WindowHandle window) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(ToHwnd(window), WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kSystemCommandTimeoutMs, &ignored);
}

void Win32Desktop::SetCursorPosition(int32_t x, int32_t y) {
  SetCursorPos(x, y);
}

void Win32Desktop::MessageBeep(uint32_t type) {
  ::MessageBeep(type);
}

bool Win32Desktop::ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) {
  // Windows-1251 to UTF-16 explicitly: the wide calls show Cyrillic right on
  // a Windows of any language.
  message_.Show(Widen(text), shown_for);
  return true;
}

std::optional<uint64_t> Win32Desktop::FreeBytesOnDriveC() {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(L"C:\\", &available, nullptr, nullptr)) {
    return std::nullopt;
  }
  return available.QuadPart;
}

}  // namespace zalvo::win32
