#include "platform/console.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "text/cp1251.h"

extern char** environ;

namespace zalvo::platform {

std::string EnvironmentValue(std::string_view name) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (text.size() > name.size() && text.substr(0, name.size()) == name &&
        text[name.size()] == '=') {
      return text::Utf8ToCp1251(text.substr(name.size() + 1));
    }
  }
  return {};
}

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

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

}  // namespace zalvo::platform
