// The console of a command-line tool in the system's Windows-1251 texts: the
// program's arguments, and lines written so that Cyrillic reads right on the
// terminal (UTF-8 on Linux, wide characters on a Windows console).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

// The program's arguments without the program name, as Windows-1251 text:
// from UTF-8 on Linux, from the wide command line on Windows. A character
// that Windows-1251 can't hold becomes '?'.
std::vector<std::string> ToolArguments(int argc, char** argv);

// The value of an environment variable as Windows-1251 text; empty when it
// is not set.
std::string EnvironmentValue(std::string_view name);

enum class ConsoleStream { kOut, kErr };

// Writes the Windows-1251 text and a line end, then flushes. To a terminal
// or a Windows console as characters; to a file or a pipe as UTF-8, or as
// the Windows-1251 bytes unchanged when raw is set.
void WriteLine(ConsoleStream stream, std::string_view cp1251, bool raw = false);

// The local time now as "YYYY-MM-DD HH:MM:SS.mmm".
std::string LocalTimestamp();

// The calendar time in the machine's time zone, thread-safely.
std::tm LocalTime(std::time_t seconds);

}  // namespace zalvo::platform
