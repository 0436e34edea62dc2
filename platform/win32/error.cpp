#include "platform/win32/error.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace zalvo::win32 {

std::string ErrorText(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) {
    return "Unknown Error No. " + std::to_string(code);
  }
  std::wstring text(buffer, n);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  return Narrow(text);
}

void ThrowError(std::string_view what, uint32_t code) {
  throw platform::PlatformError(std::string(what) + ": " + ErrorText(code), code);
}

void ThrowLastError(std::string_view what) {
  ThrowError(what, GetLastError());
}

}  // namespace zalvo::win32
