#include "platform/win32/cover_check.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <map>
#include <vector>

#include "platform/win32/error.h"
#include "platform/win32/lock_screen_windows.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// How long the lock screen has to answer.
constexpr UINT kAnswerMs = 1000;
// A bound on the windows of a class looked at.
constexpr int kMostWindows = 4096;
// A bound on the bytes of one request line.
constexpr size_t kMostRequest = 1024;

// A place where the cover must be, and what it is called in the look.
struct Spot {
  POINT at;
  std::string where;
};

BOOL CALLBACK AddMonitor(HMONITOR /*monitor*/, HDC /*dc*/, LPRECT area, LPARAM list) {
  reinterpret_cast<std::vector<RECT>*>(list)->push_back(*area);
  return TRUE;
}

// The centre and the four corners of every monitor.
std::vector<Spot> Spots() {
  std::vector<RECT> monitors;
  EnumDisplayMonitors(nullptr, nullptr, AddMonitor, reinterpret_cast<LPARAM>(&monitors));
  if (monitors.empty()) {
    monitors.push_back({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)});
  }
  std::vector<Spot> spots;
  for (size_t i = 0; i < monitors.size(); ++i) {
    const RECT& m = monitors[i];
    const std::string monitor = " of monitor " + std::to_string(i + 1);
    const LONG right = std::max(m.left, m.right - 1);
    const LONG bottom = std::max(m.top, m.bottom - 1);
    spots.push_back({{m.left + (m.right - m.left) / 2, m.top + (m.bottom - m.top) / 2},
                     "the centre" + monitor});
    spots.push_back({{m.left, m.top}, "the top left corner" + monitor});
    spots.push_back({{right, m.top}, "the top right corner" + monitor});
    spots.push_back({{m.left, bottom}, "the bottom left corner" + monitor});
    spots.push_back({{right, bottom}, "the bottom right corner" + monitor});
  }
  return spots;
}

std::string DesktopName(HDESK desktop) {
  wchar_t name[256] = {};
  DWORD needed = 0;
  if (desktop == nullptr ||
      !GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name - sizeof(wchar_t), &needed)) {
    return "(unknown)";
  }
  return Narrow(name);
}

// The processes that run the lock screen's file, each asked once.
class LockScreenProcesses {
 public:
  explicit LockScreenProcesses(const std::wstring& lock_screen) : lock_screen_(lock_screen) {}

  bool Owns(HWND window) {
    const DWORD process = ProcessOf(window);
    if (process == 0) {
      return false;
    }
    auto [entry, added] = runs_.try_emplace(process, false);
    if (added) {
      entry->second = ProcessRunsFile(process, lock_screen_);
    }
    return entry->second;
  }

  static DWORD ProcessOf(HWND window) {
    DWORD process = 0;
    return window != nullptr && GetWindowThreadProcessId(window, &process) != 0 ? process : 0;
  }

  // Whether a window of the class belongs to the lock screen (shown ones
  // only, when asked so).
  bool HasWindow(const wchar_t* window_class, bool shown) {
    HWND window = nullptr;
    for (int i = 0; i < kMostWindows; ++i) {
      window = FindWindowExW(nullptr, window, window_class, nullptr);
      if (window == nullptr) {
        return false;
      }
      if ((!shown || IsWindowVisible(window)) && Owns(window)) {
        return true;
      }
    }
    return false;
  }

 private:
  const std::wstring& lock_screen_;
  std::map<DWORD, bool> runs_;
};

// A window that is not the lock screen's, as the look names it.
std::string Describe(HWND window) {
  if (window == nullptr) {
    return "no window";
  }
  const DWORD process = LockScreenProcesses::ProcessOf(window);
  std::optional<std::wstring> image = ProcessImagePath(process);
  std::string file = image ? Narrow(*image) : "its file can't be read";
  const size_t slash = file.find_last_of("\\/");
  if (slash != std::string::npos) {
    file.erase(0, slash + 1);
  }
  return "a window of process " + std::to_string(process) + " (" + file + ")";
}

platform::CoverLook Look(const std::wstring& lock_screen) {
  platform::CoverLook look;
  LockScreenProcesses ours(lock_screen);
  look.lock_screen_window = ours.HasWindow(kLockScreenWindowClass, false);
  look.settings_dialog = ours.HasWindow(kSettingsDialogClass, true);

  // The customer sees the desktop that has the input: it must be the one
  // the lock screen is on, this thread's.
  const std::string own = DesktopName(GetThreadDesktop(GetCurrentThreadId()));
  HDESK raw = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (raw == nullptr) {
    look.seen = "the desktop with the input can't be opened: " + ErrorText(GetLastError());
    return look;
  }
  const ScopedDesktop input(raw);
  const std::string shown = DesktopName(input.get());
  if (_stricmp(shown.c_str(), own.c_str()) != 0) {
    look.seen =
        "the desktop with the input is \"" + shown + "\", not the lock screen's \"" + own + "\"";
    return look;
  }

  std::vector<HWND> asked;
  for (const Spot& spot : Spots()) {
    HWND window = WindowFromPoint(spot.at);
    HWND top = window == nullptr ? nullptr : GetAncestor(window, GA_ROOT);
    if (top == nullptr || !ours.Owns(top)) {
      look.seen = Describe(top) + " at " + spot.where;
      return look;
    }
    if (std::find(asked.begin(), asked.end(), top) != asked.end()) {
      continue;
    }
    asked.push_back(top);
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(top, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK | SMTO_ERRORONEXIT,
                            kAnswerMs, &result) == 0) {
      look.seen = "the lock screen (process " +
                  std::to_string(LockScreenProcesses::ProcessOf(top)) + ") did not answer within " +
                  std::to_string(kAnswerMs / 1000) + " s";
      return look;
    }
  }
  look.covered = true;
  return look;
}

}  // namespace

platform::CoverLook LookAtCover(const std::wstring& lock_screen) {
  try {
    return Look(lock_screen);
  } catch (const std::exception& e) {
    platform::CoverLook failed;
    failed.seen = std::string("the look failed: ") + e.what();
    return failed;
  }
}

int ServeCoverLooks(HelperChannelEnd channel, const std::wstring& lock_screen) {
  std::string pending;
  char buffer[256];
  for (;;) {
    const size_t n = channel.Read(buffer, sizeof buffer);
    if (n == 0) {
      return 0;  // the service closed it
    }
    pending.append(buffer, n);
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      pending.erase(0, end + 1);
      if (!channel.Write(platform::EncodeCoverLook(LookAtCover(lock_screen)) + "\n")) {
        return 0;
      }
    }
    if (pending.size() > kMostRequest) {
      return 3;  // not the service's requests
    }
  }
}

}  // namespace zalvo::win32
