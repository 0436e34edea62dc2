// The Windows session as the two programs act on it: the workstation lock,
// privileges and the end of Windows, the top-level windows and their
// processes, the shell, the monitor, the mouse pointer, the speaker and the
// free space of drive C. Texts are Windows-1251.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

// A top-level window, as the system's window handle value.
using WindowHandle = uint64_t;

// ExitWindowsEx flags.
enum class ExitMode : uint32_t {
  kLogOffForce = 4,    // EWX_LOGOFF | EWX_FORCE
  kShutdownForce = 5,  // EWX_SHUTDOWN | EWX_FORCE
  kRebootForce = 6,    // EWX_REBOOT | EWX_FORCE
};

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

  // Ends the Windows session (ExitWindowsEx); false when the system refused.
  [[nodiscard]] virtual bool ExitSession(ExitMode mode) = 0;

  // The foreground window; 0 when there is none.
  [[nodiscard]] virtual WindowHandle ForegroundWindow() = 0;

  // All top-level windows in the order the system enumerates them, hidden
  // ones included.
  virtual std::vector<WindowHandle> TopLevelWindows() = 0;

  // The caption of a window, at most kMaxCaption characters; empty when it
  // has none.
  virtual std::string WindowCaption(WindowHandle window) = 0;

  // The first top-level window whose caption equals the text, compared as
  // the system compares window titles (without regard to case); 0 when none.
  [[nodiscard]] virtual WindowHandle FindWindowByCaption(std::string_view caption) = 0;

  // The process that created the window; 0 when the window is gone.
  [[nodiscard]] virtual uint32_t WindowProcessId(WindowHandle window) = 0;

  // Opens the process with all access rights and terminates it with the exit
  // code; false when either step failed.
  [[nodiscard]] virtual bool TerminateProcess(uint32_t process_id, uint32_t exit_code) = 0;

  // Asks the shell to open a file (ShellExecute with the default verb, no
  // owner window); false when the shell refused.
  [[nodiscard]] virtual bool ShellOpen(const std::string& file, const std::string& parameters,
                                       const std::string& directory, int show_command) = 0;

  // Sends the monitor-power system command to all top-level windows. A hung
  // window does not hold the caller up for more than a short bound.
  virtual void BroadcastMonitorPower(int32_t state) = 0;

  // Sends a system command (WM_SYSCOMMAND) to one window and waits for it;
  // a hung window, or one that keeps it waiting for its user's answer, does
  // not hold the caller up for more than a short bound.
  virtual void SendSystemCommand(WindowHandle window, uint32_t command) = 0;

  virtual void SetCursorPosition(int32_t x, int32_t y) = 0;
  virtual void MessageBeep(uint32_t type) = 0;

  // Free bytes of drive C available to the process's account; nullopt when
  // they can't be read.
  [[nodiscard]] virtual std::optional<uint64_t> FreeBytesOnDriveC() = 0;
};

}  // namespace zalvo::platform
