#include "platform/sim/journal.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace zalvo::sim {

Journal::Journal(std::filesystem::path file, std::function<void(std::string_view)> echo)
    : file_(std::move(file)), echo_(std::move(echo)) {}

void Journal::Write(std::string_view event) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  std::string line = std::string(stamp) + " " + std::string(event);
  std::lock_guard lock(mutex_);
  {
    std::ofstream out(file_, std::ios::app | std::ios::binary);
    out << line << '\n';
  }
  if (echo_) {
    echo_(line);
  }
}

}  // namespace zalvo::sim
