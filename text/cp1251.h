// Conversion between the system's Windows-1251 byte strings and UTF-8.
//
// Every text of the system is held as Windows-1251 bytes. UTF-8 appears only
// where a person reads or writes text on Linux (the console, the simulated
// station's files) and in the source files' literals; these helpers are the
// one place that converts between the two.
#pragma once

#include <string>
#include <string_view>

namespace zalvo::text {

// Windows-1251 bytes to UTF-8. Every byte has a mapping, so nothing is lost.
std::string Cp1251ToUtf8(std::string_view cp1251);

// UTF-8 to Windows-1251 bytes. A character that Windows-1251 cannot hold, and
// a malformed UTF-8 sequence, become '?', as the Windows conversion does.
std::string Utf8ToCp1251(std::string_view utf8);

}  // namespace zalvo::text
