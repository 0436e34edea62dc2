// The Windows session as the two programs act on it: the workstation lock,
// privileges and the end of Windows, the top-level windows and their
// processes, the shell, the monitor, the mouse pointer, the speaker, a
// message to the user and the free space of drive C. Texts are Windows-1251.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

// A top-level window, as the system's window handle value.
using WindowHandle = uint64_t;

// What ShutDownSystem does to Windows.
enum class PowerOff : uint8_t { kRestart, kShutDown };

// The code of a refusal because a shut-down is already under way (Windows'
// ERROR_SHUTDOWN_IN_PROGRESS): what was asked for happens all the same.
inline constexpr int64_t kShutdownInProgress = 1115;

// The monitor-power parameter of the system command.
inline constexpr int32_t kMonitorOff = 2;
inline constexpr int32_t kMonitorOn = -1;

// The longest caption read from a window: 255 characters with the terminator.
inline constexpr size_t kMaxCaption = 254;

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Locks the workstation; false when the system refused.
  [[nodiscard]] virtual bool LockWorkStation() = 0;

  // Enables one privilege, by name, in the process's own token with the
  // two-step adjustment (ask for the previous state, then set the enabled
  // bit in it). False when the name is unknown or the account does not hold
  // the privilege.
  [[nodiscard]] virtual bool EnablePrivilege(std::string_view name) = 0;

  // Restarts or shuts Windows down (InitiateSystemShutdownEx), from any
  // session, a service's included: running programs are closed without
  // being asked, at once, for a planned reason. Needs the shutdown privilege
  // enabled. Returns when Windows has taken it; throws PlatformError with
  // the system's code and reason when it refused (of the kind kInUse when
  // one is already under way: Windows' kShutdownInProgress).
  virtual void ShutDownSystem(PowerOff what) = 0;

  // Ends the caller's Windows session with force (ExitWindowsEx with
  // EWX_LOGOFF | EWX_FORCE); false when the system refused.
  [[nodiscard]] virtual bool LogOff() = 0;

  // The foreground window; 0 when there is none.
  [[nodiscard]] virtual WindowHandle ForegroundWindow() = 0;

  // All top-level windows in the order the system enumerates them, hidden
  // ones included.
  virtual std::vector<WindowHandle> TopLevelWindows() = 0;

  // The caption of a window, at most kMaxCaption characters; empty when it
  // has none.
  virtual std::string WindowCaption(WindowHandle window) = 0;

  // A window with its caption, as the two calls above give them.
  struct CaptionedWindow {
    WindowHandle handle = 0;
    std::string caption;
  };

  // All top-level windows with their captions, in enumeration order: in one
  // call, for a desktop that is far away (the customer's, from the service).
  virtual std::vector<CaptionedWindow> TopLevelWindowsWithCaptions() {
    std::vector<CaptionedWindow> windows;
    for (WindowHandle window : TopLevelWindows()) {
      windows.push_back({window, WindowCaption(window)});
    }
    return windows;
  }

  // The foreground window with its caption; handle 0 and no caption when
  // there is none. In one call, as above.
  virtual CaptionedWindow ForegroundWindowWithCaption() {
    const WindowHandle window = ForegroundWindow();
    return {window, window == 0 ? std::string() : WindowCaption(window)};
  }

  // The first top-level window whose caption equals the text, compared as
  // the system compares window titles (without regard to case); 0 when none.
  [[nodiscard]] virtual WindowHandle FindWindowByCaption(std::string_view caption) = 0;

  // The process that created the window; 0 when the window is gone.
  [[nodiscard]] virtual uint32_t WindowProcessId(WindowHandle window) = 0;

  // Opens the process for termination only (the handle not inheritable) and
  // terminates it with the exit code; false when either step failed.
  [[nodiscard]] virtual bool TerminateProcess(uint32_t process_id, uint32_t exit_code) = 0;

  // Ends the process that owns the first top-level window with the caption
  // (compared as FindWindowByCaption does), as one step: the process is
  // opened for termination, and ended only when the window still belongs to
  // it then, so that a window that changed hands meanwhile ends nothing.
  struct OwnerEnd {
    uint32_t process_id = 0;  // 0: no window has the caption
    bool ended = false;       // false: it could not be opened or ended
  };
  [[nodiscard]] virtual OwnerEnd EndWindowOwner(std::string_view caption, uint32_t exit_code) = 0;

  // Asks the shell to open a file (ShellExecuteEx with the default verb, no
  // owner window, no error boxes of its own). Throws PlatformError with the
  // system's reason when the file could not be opened. A program that needs
  // elevation, or a downloaded file, is not opened past the prompt the
  // system shows on this desktop: the call waits for the person there. A
  // desktop that hands the start off to another thread returns kHandedOff at
  // once and tells the outcome later (agent/hand_off_desktop.h).
  enum class Start : uint8_t { kStarted, kHandedOff };
  virtual Start ShellOpen(const std::string& file, const std::string& parameters,
                          const std::string& directory, int show_command) = 0;

  // Posts the monitor-power system command to all top-level windows (no
  // window, hung or slow, holds the caller up). Switching the monitor on
  // also moves the mouse pointer by one pixel and back, which wakes a
  // display that ignores the message; a wake-up that the system refused (the
  // input desktop is another, such as the sign-in screen or a UAC prompt)
  // throws PlatformError after the message was posted.
  virtual void BroadcastMonitorPower(int32_t state) = 0;

  // Sends a system command (WM_SYSCOMMAND) to one window and waits for it;
  // a hung window, or one that keeps it waiting for its user's answer, does
  // not hold the caller up for more than a short bound.
  virtual void SendSystemCommand(WindowHandle window, uint32_t command) = 0;

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

  // Free bytes of drive C available to the process's account; nullopt when
  // they can't be read.
  [[nodiscard]] virtual std::optional<uint64_t> FreeBytesOnDriveC() = 0;
};

}  // namespace zalvo::platform
