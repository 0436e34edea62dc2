// The simulated station's Windows session.
//
// windows.txt lists the top-level windows in enumeration order, one per line:
//   <handle> <process id> <flags> <caption>
// flags: "F" marks the foreground window, "-" none. The caption is the rest
// of the line (UTF-8) and may be empty. Lines starting with "#" are comments.
//
// privileges.txt lists the privileges the agent's account holds, one name per
// line; without the file the account holds every privilege.
//
// refuse-shutdown.txt, when it exists, makes Windows refuse every restart and
// shut-down: its first line is "<error code> <reason>". scheduled-shutdown.txt
// stands for a restart someone asked for with a time-out (`shutdown /r /t
// 600`): while it exists, every other is refused as one already scheduled
// (1190), and AbortSystemShutdown removes it.
//
// Every action is written to the journal; a terminated process's windows and
// a window closed by SC_CLOSE leave windows.txt. A message is shown (and
// journalled) only while console.txt says someone is logged on at the
// console, as the service's helper shows it.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/pending_shutdown.h"
#include "platform/sim/journal.h"

namespace zalvo::sim {

struct SimWindow {
  platform::WindowHandle handle = 0;
  uint32_t process_id = 0;
  bool foreground = false;
  std::string caption;  // Windows-1251
};

std::vector<SimWindow> ParseWindowList(std::string_view utf8);
std::string FormatWindowList(const std::vector<SimWindow>& windows);

inline constexpr std::string_view kScheduledShutdownFile = "scheduled-shutdown.txt";

class SimDesktop final : public platform::Desktop, public platform::PendingShutdown {
 public:
  SimDesktop(std::filesystem::path root, Journal& journal);

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
  // AbortSystemShutdown: removes scheduled-shutdown.txt.
  bool Abort() override;

 private:
  std::vector<SimWindow> Windows();
  void SaveWindows(const std::vector<SimWindow>& windows);
  bool Terminate(uint32_t process_id, uint32_t exit_code);  // under mutex_

  std::filesystem::path root_;
  Journal& journal_;
  std::mutex mutex_;
};

}  // namespace zalvo::sim
