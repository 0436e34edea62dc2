#include "platform/console.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "text/cp1251.h"

namespace zalvo::platform {

std::vector<std::string> ToolArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(text::Utf8ToCp1251(argv[i]));
  }
  return args;
}

void WriteLine(ConsoleStream stream, std::string_view cp1251, bool raw) {
  std::FILE* out = stream == ConsoleStream::kOut ? stdout : stderr;
  std::string line = raw ? std::string(cp1251) : text::Cp1251ToUtf8(cp1251);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

std::string LocalTimestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return stamp;
}

}  // namespace zalvo::platform
