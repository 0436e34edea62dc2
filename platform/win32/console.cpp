#include "platform/console.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/win32/service_host.h"
#include "platform/win32/wide.h"
#include "text/cp1251.h"

namespace zalvo::platform {

std::vector<std::string> ToolArguments(int, char**) {
  // The narrow arguments of main are in the system's ANSI code page, which
  // need not be 1251; the wide command line holds every character.
  std::vector<std::string> args;
  for (const std::wstring& arg : win32::CommandLineArguments()) {
    args.push_back(win32::Narrow(arg));
  }
  return args;
}

std::string EnvironmentValue(std::string_view name) {
  std::wstring wide_name = win32::Widen(name);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) {
    return {};
  }
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  value.resize(length < size ? length : 0);
  return win32::Narrow(value);
}

void WriteLine(ConsoleStream stream, std::string_view cp1251, bool raw) {
  std::FILE* out = stream == ConsoleStream::kOut ? stdout : stderr;
  HANDLE handle =
      GetStdHandle(stream == ConsoleStream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!raw && handle != INVALID_HANDLE_VALUE && handle != nullptr &&
      GetConsoleMode(handle, &mode)) {
    // A console shows wide characters whatever its code page.
    std::fflush(out);
    std::wstring line = win32::Widen(cp1251) + L"\r\n";
    DWORD written = 0;
    WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  std::string line = raw ? std::string(cp1251) : text::Cp1251ToUtf8(cp1251);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  localtime_s(&local, &seconds);
  return local;
}

}  // namespace zalvo::platform
