// A log kept on the station's disk: each line with the local time, in a file
// that is moved aside when it reaches its limit, so that the log never takes
// more than about twice the limit (the file and one earlier generation).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/log_files.h"

namespace zalvo::agent {

class RotatingLog {
 public:
  static constexpr uint64_t kDefaultLimit = uint64_t{256} * 1024;

  // The earlier generation is kept as "<name>.1.log" beside "<name>.log"
  // (or "<path>.1" when the path does not end in ".log").
  RotatingLog(platform::LogFiles& files, std::string path, uint64_t limit = kDefaultLimit);

  // Writes the line, with the local time before it, its control characters
  // escaped (text::EscapeControls) and CR LF after it; once
  // the file holds the limit or more, it becomes the earlier generation and
  // the next line begins a new file. Safe from any thread. A line that can't
  // be written is lost, and so is the move of a full file (the next line
  // tries again): the program goes on either way.
  void Write(std::string_view line);

  // The lines that could not be written so far.
  uint64_t lost() const;

  const std::string& path() const { return path_; }
  const std::string& earlier_path() const { return earlier_path_; }

 private:
  platform::LogFiles& files_;
  const std::string path_;
  const std::string earlier_path_;
  const uint64_t limit_;
  mutable std::mutex mutex_;
  uint64_t lost_ = 0;
};

}  // namespace zalvo::agent
