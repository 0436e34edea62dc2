// Conversion at the Win32 boundary: the system's Windows-1251 texts to and
// from the UTF-16 of the wide functions, always with code page 1251, so that
// Cyrillic is right on a Windows of any language.
#pragma once

#include <string>
#include <string_view>

namespace zalvo::win32 {

std::wstring Widen(std::string_view cp1251);
std::string Narrow(std::wstring_view wide);

}  // namespace zalvo::win32
