// The programs of the station as the server drives them: "ACTION RUN" starts
// one, "ACTION PROCESS" lists the captions of the top-level windows, "ACTION
// KILL" ends the process that owns the window with a given caption.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/log_sink.h"
#include "platform/shell.h"
#include "platform/top_windows.h"

namespace zalvo::agent {

// The show mode of a launched program: shown normally (SW_SHOW).
inline constexpr int kShowNormally = 5;

// A command line split for the shell: the program is everything before the
// first blank and the parameters everything after it; the working directory
// is the program up to and including its last "\" or ":" (empty when it has
// neither). No text is ever shortened.
struct LaunchRequest {
  std::string program;
  std::string parameters;
  std::string directory;
  bool operator==(const LaunchRequest&) const = default;
};
LaunchRequest SplitCommandLine(std::string_view command_line);

class Programs {
 public:
  Programs(platform::TopWindows& windows, platform::Shell& shell, platform::LogSink log = {});

  // Asks the shell to open the program of the command line, shown normally.
  // The outcome is logged (by the desktop that handed the start off, when it
  // did), never reported to the server; a command line without a program
  // starts nothing. A failed session helper fails the command.
  void Run(std::string_view command_line);

  // Rebuilds the list: the captions of all top-level windows in enumeration
  // order, duplicates kept, windows without a caption left out, with a to z
  // upper-cased, read from the desktop in one call. A failure of the call
  // leaves the list empty and is logged.
  void ListWindows(std::vector<std::string>& window_list);

  // Ends the process that owns the first top-level window with the caption
  // (compared as the system compares window titles) in one step of the
  // desktop, then rebuilds the list.
  // An empty caption does nothing at all; a caption that names no window
  // terminates nothing.
  void KillWindow(std::string_view caption, std::vector<std::string>& window_list);

 private:
  platform::Shell& shell_;
  platform::TopWindows& windows_;
  platform::LogSink log_;
};

}  // namespace zalvo::agent
