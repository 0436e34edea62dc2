#include "tests/support/fake_desktop.h"

#include <algorithm>

#include "text/text.h"

namespace zalvo::testing {

bool FakeDesktop::LockWorkStation() {
  actions.push_back("LockWorkStation");
  return lock_result;
}

bool FakeDesktop::EnablePrivilege(std::string_view name) {
  privilege_requests.emplace_back(name);
  return !privileges || privileges->count(std::string(name)) > 0;
}

bool FakeDesktop::ExitSession(platform::ExitMode mode) {
  actions.push_back("ExitSession " + std::to_string(static_cast<uint32_t>(mode)));
  return exit_result;
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
  actions.push_back("TerminateProcess " + std::to_string(process_id) + " " +
                    std::to_string(exit_code));
  if (unkillable.count(process_id) > 0) {
    return false;
  }
  auto gone = std::remove_if(windows.begin(), windows.end(),
                             [&](const Window& w) { return w.process_id == process_id; });
  bool found = gone != windows.end();
  windows.erase(gone, windows.end());
  return found;
}

bool FakeDesktop::ShellOpen(const std::string& file, const std::string& parameters,
                            const std::string& directory, int show_command) {
  actions.push_back("ShellOpen " + file + "|" + parameters + "|" + directory + "|" +
                    std::to_string(show_command));
  return true;
}

void FakeDesktop::BroadcastMonitorPower(int32_t state) {
  actions.push_back("MonitorPower " + std::to_string(state));
}

void FakeDesktop::SendSystemCommand(platform::WindowHandle window, uint32_t command) {
  actions.push_back("SendSystemCommand " + std::to_string(window) + " " + std::to_string(command));
}

void FakeDesktop::SetCursorPosition(int32_t x, int32_t y) {
  actions.push_back("SetCursorPos " + std::to_string(x) + " " + std::to_string(y));
}

void FakeDesktop::MessageBeep(uint32_t type) {
  actions.push_back("MessageBeep " + std::to_string(type));
}

}  // namespace zalvo::testing
