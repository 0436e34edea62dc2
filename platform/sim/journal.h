// The simulated station's journal: one line per action the station was asked
// to carry out (lock, restart, monitor power, cursor, beep, launch,
// termination, ...), so that a test or a person can see what happened.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/log_sink.h"

namespace zalvo::sim {

class Journal {
 public:
  // Lines go to the file, and to the echo when one is given (the console of
  // the agent's foreground run).
  explicit Journal(std::filesystem::path file, platform::LogSink echo = {});

  // Appends "<local time> <event>" as a line. The event is UTF-8.
  void Write(std::string_view event);

  const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
  platform::LogSink echo_;
  std::mutex mutex_;
};

}  // namespace zalvo::sim
