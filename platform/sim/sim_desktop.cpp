#include "platform/sim/sim_desktop.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "platform/error.h"
#include "platform/sim/sim_console.h"
#include "platform/sim/sim_files.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::sim {
namespace {

// Windows' codes of a restart or shut-down refused because another stands in
// the way: one under way (ERROR_SHUTDOWN_IN_PROGRESS), one waiting for its
// time-out (ERROR_SHUTDOWN_IS_SCHEDULED). The simulated Windows gives them
// the kind the real one's translation does.
constexpr int64_t kShutdownInProgress = 1115;
constexpr int64_t kShutdownIsScheduled = 1190;

std::string Quoted(std::string_view cp1251) {
  return "\"" + text::Cp1251ToUtf8(cp1251) + "\"";
}

}  // namespace

std::vector<SimWindow> ParseWindowList(std::string_view utf8) {
  std::vector<SimWindow> windows;
  for (const std::string& line : text::SplitLines(utf8)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    // Three blank-separated fields, then the caption as the rest of the line.
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
    std::string handle = line.substr(0, a);
    std::string pid = a == std::string::npos ? "" : line.substr(a + 1, b - a - 1);
    std::string flags = b == std::string::npos ? "" : line.substr(b + 1, c - b - 1);
    auto h = text::ParseInt32(handle);
    auto p = text::ParseInt32(pid);
    if (!h || !p) {
      continue;
    }
    SimWindow window;
    window.handle = static_cast<uint32_t>(*h);
    window.process_id = static_cast<uint32_t>(*p);
    window.foreground = flags.find('F') != std::string::npos;
    window.caption = c == std::string::npos ? "" : text::Utf8ToCp1251(line.substr(c + 1));
    windows.push_back(std::move(window));
  }
  return windows;
}

std::string FormatWindowList(const std::vector<SimWindow>& windows) {
  std::string out = "# handle pid flags caption (flags: F = foreground, - = none)\n";
  for (const SimWindow& w : windows) {
    out += std::to_string(w.handle) + " " + std::to_string(w.process_id) + " " +
           (w.foreground ? "F" : "-") + " " + text::Cp1251ToUtf8(w.caption) + "\n";
  }
  return out;
}

SimDesktop::SimDesktop(std::filesystem::path root, Journal& journal)
    : root_(std::move(root)), journal_(journal) {}

std::vector<SimWindow> SimDesktop::Windows() {
  try {
    return ParseWindowList(ReadWholeFile(root_ / "windows.txt"));
  } catch (const platform::PlatformError&) {
    return {};
  }
}

void SimDesktop::SaveWindows(const std::vector<SimWindow>& windows) {
  WriteFileAtomically(root_ / "windows.txt", FormatWindowList(windows));
}

bool SimDesktop::LockWorkStation() {
  journal_.Write("LockWorkStation");
  return true;
}

bool SimDesktop::EnablePrivilege(std::string_view name) {
  std::string content;
  try {
    content = ReadWholeFile(root_ / "privileges.txt");
  } catch (const platform::PlatformError&) {
    return true;
  }
  for (std::string line : text::SplitLines(content)) {
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    if (text::EqualsIgnoreCase(line, name)) {
      return true;
    }
  }
  return false;
}

void SimDesktop::ShutDownSystem(platform::PowerOff what) {
  const std::string call = std::string("InitiateSystemShutdownEx ") +
                           (what == platform::PowerOff::kRestart ? "reboot" : "shut down") +
                           " (force, planned)";
  std::error_code ec;
  if (std::filesystem::exists(root_ / kScheduledShutdownFile, ec)) {
    journal_.Write(call + " refused: 1190 A system shutdown has already been scheduled.");
    throw platform::PlatformError("A system shutdown has already been scheduled.",
                                  platform::ErrorKind::kInUse, kShutdownIsScheduled);
  }
  std::string refusal;
  try {
    refusal = text::SplitLines(ReadWholeFile(root_ / "refuse-shutdown.txt")).at(0);
  } catch (const platform::PlatformError&) {
    journal_.Write(call);
    return;
  } catch (const std::out_of_range&) {
    // An empty file refuses without a code.
  }
  journal_.Write(call + " refused: " + refusal);
  size_t blank = refusal.find(' ');
  std::optional<int32_t> code = text::ParseInt32(refusal.substr(0, blank));
  throw platform::PlatformError(
      blank == std::string::npos ? refusal : refusal.substr(blank + 1),
      code == kShutdownInProgress ? platform::ErrorKind::kInUse : platform::ErrorKind::kOther,
      code.value_or(0));
}

bool SimDesktop::Abort() {
  std::error_code ec;
  if (!std::filesystem::remove(root_ / kScheduledShutdownFile, ec)) {
    return false;  // none waits
  }
  journal_.Write("AbortSystemShutdown");
  return true;
}

bool SimDesktop::LogOff() {
  journal_.Write("ExitWindowsEx 4 (log off, force)");
  return true;
}

platform::WindowHandle SimDesktop::ForegroundWindow() {
  std::lock_guard lock(mutex_);
  for (const SimWindow& w : Windows()) {
    if (w.foreground) {
      return w.handle;
    }
  }
  return 0;
}

std::vector<platform::WindowHandle> SimDesktop::TopLevelWindows() {
  std::lock_guard lock(mutex_);
  std::vector<platform::WindowHandle> handles;
  for (const SimWindow& w : Windows()) {
    handles.push_back(w.handle);
  }
  return handles;
}

std::string SimDesktop::WindowCaption(platform::WindowHandle window) {
  std::lock_guard lock(mutex_);
  for (const SimWindow& w : Windows()) {
    if (w.handle == window) {
      return w.caption.substr(0, platform::kMaxCaption);
    }
  }
  return {};
}

platform::WindowHandle SimDesktop::FindWindowByCaption(std::string_view caption) {
  std::lock_guard lock(mutex_);
  for (const SimWindow& w : Windows()) {
    if (text::EqualsIgnoreCase(w.caption, caption)) {
      return w.handle;
    }
  }
  return 0;
}

uint32_t SimDesktop::WindowProcessId(platform::WindowHandle window) {
  std::lock_guard lock(mutex_);
  for (const SimWindow& w : Windows()) {
    if (w.handle == window) {
      return w.process_id;
    }
  }
  return 0;
}

bool SimDesktop::TerminateProcess(uint32_t process_id, uint32_t exit_code) {
  std::lock_guard lock(mutex_);
  return Terminate(process_id, exit_code);
}

platform::Desktop::OwnerEnd SimDesktop::EndWindowOwner(std::string_view caption,
                                                       uint32_t exit_code) {
  std::lock_guard lock(mutex_);
  OwnerEnd end;
  for (const SimWindow& w : Windows()) {
    if (text::EqualsIgnoreCase(w.caption, caption)) {
      end.process_id = w.process_id;
      end.ended = Terminate(w.process_id, exit_code);
      break;
    }
  }
  return end;
}

bool SimDesktop::Terminate(uint32_t process_id, uint32_t exit_code) {
  std::vector<SimWindow> windows = Windows();
  auto gone = std::remove_if(windows.begin(), windows.end(),
                             [&](const SimWindow& w) { return w.process_id == process_id; });
  if (gone == windows.end() || process_id == 0) {
    journal_.Write("OpenProcess " + std::to_string(process_id) + " failed");
    return false;
  }
  windows.erase(gone, windows.end());
  SaveWindows(windows);
  journal_.Write("TerminateProcess " + std::to_string(process_id) + " exit code " +
                 std::to_string(exit_code));
  return true;
}

platform::Desktop::Start SimDesktop::ShellOpen(const std::string& file,
                                               const std::string& parameters,
                                               const std::string& directory, int show_command) {
  journal_.Write("ShellExecute file=" + Quoted(file) + " parameters=" + Quoted(parameters) +
                 " directory=" + Quoted(directory) + " show=" + std::to_string(show_command));
  return Start::kStarted;
}

void SimDesktop::BroadcastMonitorPower(int32_t state) {
  journal_.Write(std::string("MonitorPower ") + (state == platform::kMonitorOff ? "off" : "on") +
                 " (" + std::to_string(state) + ")");
}

void SimDesktop::CloseWindow(platform::WindowHandle window) {
  std::lock_guard lock(mutex_);
  journal_.Write("SendMessage " + std::to_string(window) + " WM_SYSCOMMAND 0xF060");
  std::vector<SimWindow> windows = Windows();
  auto gone = std::remove_if(windows.begin(), windows.end(),
                             [&](const SimWindow& w) { return w.handle == window; });
  if (gone != windows.end()) {
    windows.erase(gone, windows.end());
    SaveWindows(windows);
  }
}

void SimDesktop::SetCursorPosition(int32_t x, int32_t y) {
  journal_.Write("SetCursorPos " + std::to_string(x) + " " + std::to_string(y));
}

void SimDesktop::MessageBeep(uint32_t type) {
  journal_.Write("MessageBeep " + std::to_string(type));
}

bool SimDesktop::ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) {
  SimConsoleState console;
  try {
    console = ParseConsole(ReadWholeFile(root_ / "console.txt"));
  } catch (const platform::PlatformError&) {
    // No file: nobody is logged on.
  }
  if (console.user == SimConsoleState::User::kNobody) {
    return false;
  }
  journal_.Write("MessageWindow " + Quoted(text) + " " + std::to_string(shown_for.count()) +
                 " ms (topmost, not activated)");
  return true;
}

std::optional<uint64_t> SimDesktop::FreeBytesOnDriveC() {
  struct statvfs fs {};
  if (::statvfs(root_.c_str(), &fs) != 0) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

}  // namespace zalvo::sim
