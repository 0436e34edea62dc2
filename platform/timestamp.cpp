#include <chrono>
#include <cstdio>

#include "platform/console.h"

namespace zalvo::platform {

std::string LocalTimestamp() {
  auto now = std::chrono::system_clock::now();
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local = LocalTime(std::chrono::system_clock::to_time_t(now));
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return stamp;
}

}  // namespace zalvo::platform
