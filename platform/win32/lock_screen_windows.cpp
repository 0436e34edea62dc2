#include "platform/win32/lock_screen_windows.h"

#include <windows.h>

#include <map>
#include <vector>

#include "platform/win32/error.h"
#include "platform/win32/process_identity.h"

namespace zalvo::win32 {
namespace {

// A bound on the windows looked at, should windows come and go without end
// while they are listed.
constexpr int kMostWindows = 4096;

std::vector<HWND> WindowsOf(const std::wstring& program, DWORD except_process) {
  std::vector<HWND> found;
  std::map<DWORD, bool> runs_program;  // by process, asked once
  HWND window = nullptr;
  for (int i = 0; i < kMostWindows; ++i) {
    window = FindWindowExW(nullptr, window, kLockScreenWindowClass, nullptr);
    if (window == nullptr) {
      break;
    }
    DWORD process = 0;
    if (GetWindowThreadProcessId(window, &process) == 0 || process == except_process) {
      continue;
    }
    auto [entry, added] = runs_program.try_emplace(process, false);
    if (added) {
      entry->second = ProcessRunsFile(process, program);
    }
    if (entry->second) {
      found.push_back(window);
    }
  }
  return found;
}

class Win32LockScreenWindows final : public platform::LockScreenWindows {
 public:
  explicit Win32LockScreenWindows(std::wstring program) : program_(std::move(program)) {}

  platform::LockOrder TellToLock() override {
    const UINT message = RegisterWindowMessageW(kLockOrderMessage);
    if (message == 0) {
      ThrowLastError("RegisterWindowMessage");
    }
    platform::LockOrder order;
    for (HWND window : WindowsOf(program_, 0)) {
      const bool locked = IsWindowVisible(window) != FALSE &&
                          (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
      if (PostMessageW(window, message, 0, 0)) {
        ++order.told;
        order.already_locked += locked ? 1 : 0;
      }
    }
    return order;
  }

 private:
  std::wstring program_;
};

}  // namespace

bool LockScreenWindowRuns(const std::wstring& program, uint32_t except_process) {
  return !WindowsOf(program, except_process).empty();
}

std::unique_ptr<platform::LockScreenWindows> MakeLockScreenWindows(std::wstring program) {
  return std::make_unique<Win32LockScreenWindows>(std::move(program));
}

}  // namespace zalvo::win32
