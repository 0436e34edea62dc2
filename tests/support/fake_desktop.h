// A desktop for unit tests on both platforms: its windows, foreground window,
// granted privileges and free space are set by the test, and every action is
// recorded as a line ("LockWorkStation", "ShutDownSystem restart",
// "ShutDownSystem shut down", "LogOff", "MonitorPower 2", "SetCursorPos 0 0",
// "MessageBeep 0", "ShellOpen file|parameters|dir|5", "TerminateProcess 12 0",
// "CloseWindow 100", "ShowMessage text|30000").
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/error.h"

namespace zalvo::testing {

class FakeDesktop final : public platform::Desktop {
 public:
  struct Window {
    platform::WindowHandle handle;
    uint32_t process_id;
    std::string caption;
  };

  // Set-up. By default the account holds every privilege.
  std::vector<Window> windows;
  platform::WindowHandle foreground = 0;
  std::optional<std::set<std::string>> privileges;  // nullopt: all held
  std::optional<uint64_t> free_bytes = uint64_t{10} * 1024 * 1024 * 1024;
  bool lock_result = true;
  bool log_off_result = true;  // whether LogOff is carried out
  // What Windows answers the next restarts and shut-downs, in turn: a
  // refusal each; taken when there is none left.
  std::deque<platform::PlatformError> shutdown_refusals;
  std::set<uint32_t> unkillable;  // processes TerminateProcess can't end
  // ShellOpen refuses these files with "The system cannot find the file".
  std::set<std::string> missing_files;
  // How long a program start and a monitor broadcast take (a prompt that
  // waits for its answer, windows that are slow to take a message).
  std::chrono::milliseconds start_takes{0};
  std::chrono::milliseconds broadcast_takes{0};

  // What happened, in order. Actions may come from several threads; read
  // them once those are done, or through Actions().
  std::vector<std::string> actions;
  std::vector<std::string> Actions();
  std::vector<std::string> privilege_requests;

  bool LockWorkStation() override;
  bool EnablePrivilege(std::string_view name) override;
  void ShutDownSystem(platform::PowerOff what) override;
  bool LogOff() override;
  platform::WindowHandle ForegroundWindow() override { return foreground; }
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
  std::optional<uint64_t> FreeBytesOnDriveC() override { return free_bytes; }

 private:
  void Record(std::string line);
  std::mutex mutex_;
};

}  // namespace zalvo::testing
