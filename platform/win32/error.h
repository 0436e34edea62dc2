// Turns a Win32 or Windows Sockets error code into the platform's one failure
// type, with the system's own message text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace zalvo::win32 {

// The system's message for an error code in Windows-1251, without the trailing
// line end; "Unknown Error No. " and the number when the system has none.
std::string ErrorText(uint32_t code);

[[noreturn]] void ThrowError(std::string_view what, uint32_t code);
// Reads GetLastError right away.
[[noreturn]] void ThrowLastError(std::string_view what);

}  // namespace zalvo::win32
