#include "platform/win32/wide.h"

#include <windows.h>

namespace zalvo::win32 {
namespace {
constexpr UINT kCodePage = 1251;
}

std::wstring Widen(std::string_view cp1251) {
  if (cp1251.empty()) {
    return {};
  }
  int n =
      MultiByteToWideChar(kCodePage, 0, cp1251.data(), static_cast<int>(cp1251.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(kCodePage, 0, cp1251.data(), static_cast<int>(cp1251.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  int n = WideCharToMultiByte(kCodePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(kCodePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

}  // namespace zalvo::win32
