#include "tests/support/fake_desktop.h"

#include <algorithm>
#include <thread>

#include "text/text.h"

namespace zalvo::testing {

void FakeDesktop::Record(std::string line) {
  std::lock_guard lock(mutex_);
  actions.push_back(std::move(line));
}

std::vector<std::string> FakeDesktop::Actions() {
  std::lock_guard lock(mutex_);
  return actions;
}

bool FakeDesktop::LockWorkStation() {
  Record("LockWorkStation");
  return lock_result;
}

bool FakeDesktop::EnablePrivilege(std::string_view name) {
  privilege_requests.emplace_back(name);
  return !privileges || privileges->count(std::string(name)) > 0;
}

void FakeDesktop::ShutDownSystem(platform::PowerOff what) {
  Record(what == platform::PowerOff::kRestart ? "ShutDownSystem restart"
                                              : "ShutDownSystem shut down");
  if (!shutdown_refusals.empty()) {
    platform::PlatformError refusal = shutdown_refusals.front();
    shutdown_refusals.pop_front();
    throw refusal;
  }
}

bool FakeDesktop::LogOff() {
  Record("LogOff");
  return log_off_result;
}

std::vector<platform::WindowHandle> FakeDesktop::TopLevelWindows() {
  std::vector<platform::WindowHandle> handles;
  for (const Window& w : windows) {
    handles.push_back(w.handle);
  }
  return handles;
}

std::string FakeDesktop::WindowCaption(platform::WindowHandle window) {
  for (const Window& w : windows) {
    if (w.handle == window) {
      return w.caption.substr(0, platform::kMaxCaption);
    }
  }
  return {};
}

platform::WindowHandle FakeDesktop::FindWindowByCaption(std::string_view caption) {
  for (const Window& w : windows) {
    if (text::EqualsIgnoreCase(w.caption, caption)) {
      return w.handle;
    }
  }
  return 0;
}

uint32_t FakeDesktop::WindowProcessId(platform::WindowHandle window) {
  for (const Window& w : windows) {
    if (w.handle == window) {
      return w.process_id;
    }
  }
  return 0;
}

bool FakeDesktop::TerminateProcess(uint32_t process_id, uint32_t exit_code) {
  Record("TerminateProcess " + std::to_string(process_id) + " " + std::to_string(exit_code));
  if (unkillable.count(process_id) > 0) {
    return false;
  }
  auto gone = std::remove_if(windows.begin(), windows.end(),
                             [&](const Window& w) { return w.process_id == process_id; });
  bool found = gone != windows.end();
  windows.erase(gone, windows.end());
  return found;
}

platform::Desktop::OwnerEnd FakeDesktop::EndWindowOwner(std::string_view caption,
                                                        uint32_t exit_code) {
  OwnerEnd end;
  end.process_id = WindowProcessId(FindWindowByCaption(caption));
  end.ended = end.process_id != 0 && TerminateProcess(end.process_id, exit_code);
  return end;
}

platform::Desktop::Start FakeDesktop::ShellOpen(const std::string& file,
                                                const std::string& parameters,
                                                const std::string& directory, int show_command) {
  std::this_thread::sleep_for(start_takes);
  Record("ShellOpen " + file + "|" + parameters + "|" + directory + "|" +
         std::to_string(show_command));
  if (missing_files.count(file) > 0) {
    throw platform::PlatformError("ShellExecuteEx " + file +
                                      ": The system cannot find the file "
                                      "specified.",
                                  platform::ErrorKind::kNotFound, 2);
  }
  return Start::kStarted;
}

void FakeDesktop::BroadcastMonitorPower(int32_t state) {
  std::this_thread::sleep_for(broadcast_takes);
  Record("MonitorPower " + std::to_string(state));
}

void FakeDesktop::CloseWindow(platform::WindowHandle window) {
  Record("CloseWindow " + std::to_string(window));
}

void FakeDesktop::SetCursorPosition(int32_t x, int32_t y) {
  Record("SetCursorPos " + std::to_string(x) + " " + std::to_string(y));
}

void FakeDesktop::MessageBeep(uint32_t type) {
  Record("MessageBeep " + std::to_string(type));
}

bool FakeDesktop::ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) {
  Record("ShowMessage " + text + "|" + std::to_string(shown_for.count()));
  return true;
}

}  // namespace zalvo::testing
