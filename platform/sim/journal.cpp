#include "platform/sim/journal.h"

#include <fstream>

#include "platform/console.h"

namespace zalvo::sim {

Journal::Journal(std::filesystem::path file, platform::LogSink echo)
    : file_(std::move(file)), echo_(std::move(echo)) {}

void Journal::Write(std::string_view event) {
  std::string line = platform::LocalTimestamp() + " " + std::string(event);
  std::lock_guard lock(mutex_);
  {
    std::ofstream out(file_, std::ios::app | std::ios::binary);
    out << line << '\n';
  }
  echo_(line);
}

}  // namespace zalvo::sim
