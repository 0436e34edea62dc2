#include "agent/programs.h"

#include "platform/error.h"
#include "text/text.h"

namespace zalvo::agent {

LaunchRequest SplitCommandLine(std::string_view command_line) {
  LaunchRequest request;
  size_t blank = command_line.find(' ');
  if (blank == std::string_view::npos) {
    request.program = std::string(command_line);
  } else {
    request.program = std::string(command_line.substr(0, blank));
    request.parameters = std::string(command_line.substr(blank + 1));
  }
  size_t last = request.program.find_last_of("\\:");
  if (last != std::string::npos) {
    request.directory = request.program.substr(0, last + 1);
  }
  return request;
}

Programs::Programs(platform::TopWindows& windows, platform::Shell& shell, platform::LogSink log)
    : shell_(shell), windows_(windows), log_(std::move(log)) {}

void Programs::Run(std::string_view command_line) {
  LaunchRequest request = SplitCommandLine(command_line);
  if (request.program.empty()) {
    // The shell would open whatever it takes an empty name for.
    log_("run: no program named");
    return;
  }
  try {
    if (shell_.ShellOpen(request.program, request.parameters, request.directory, kShowNormally) ==
        platform::Shell::Start::kStarted) {
      log_("run: " + request.program + " started");
    }
  } catch (const platform::PlatformError& e) {
    // A failed session helper (HelperFailure) passes: the command fails.
    log_("run: " + request.program + " not started: " + e.what());
  }
}

void Programs::ListWindows(std::vector<std::string>& window_list) {
  window_list.clear();
  try {
    for (const platform::TopWindows::CaptionedWindow& window :
         windows_.TopLevelWindowsWithCaptions()) {
      if (!window.caption.empty()) {
        window_list.push_back(text::UpperLatin(window.caption));
      }
    }
  } catch (const platform::PlatformError& e) {
    // A failed session helper (HelperFailure) passes: no list at all, the
    // command fails.
    log_(std::string("window list cut short: ") + e.what());
  }
}

void Programs::KillWindow(std::string_view caption, std::vector<std::string>& window_list) {
  if (caption.empty()) {
    return;
  }
  platform::TopWindows::OwnerEnd end = windows_.EndWindowOwner(caption, 0);
  if (end.process_id == 0) {
    log_("kill: no window \"" + std::string(caption) + "\"");
  } else if (!end.ended) {
    log_("kill: process " + std::to_string(end.process_id) + " could not be ended");
  }
  ListWindows(window_list);
}

}  // namespace zalvo::agent
