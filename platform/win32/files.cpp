#include "platform/win32/files.h"

#include <windows.h>

#include <vector>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {}  // namespace

std::string Win32Files::WindowsDirectory() {
  UINT n = GetWindowsDirectoryW(nullptr, 0);
  if (n == 0) {
    ThrowLastError("GetWindowsDirectory");
  }
  std::vector<wchar_t> buffer(n + 1);
  n = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (n == 0 || n >= buffer.size()) {
    ThrowLastError("GetWindowsDirectory");
  }
  return Narrow(std::wstring_view(buffer.data(), n));
}

std::string Win32Files::Read(std::string_view path) {
  std::wstring wpath = Widen(path);
  HANDLE raw = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) {
    ThrowLastError("Cannot open file \"" + std::string(path) + "\"");
  }
  ScopedHandle file(raw);
  std::string content;
  char chunk[4096];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
      ThrowLastError("Cannot read file \"" + std::string(path) + "\"");
    }
    if (read == 0) {
      break;
    }
    content.append(chunk, read);
  }
  return content;
}

void Win32Files::Replace(std::string_view path, std::string_view bytes) {
  std::wstring target = Widen(path);
  // The temporary file sits beside the target, so that the rename stays on
  // one volume; the process number keeps two programs' saves apart.
  std::wstring temp_name = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  auto fail = [&](std::string_view what) {
    DWORD code = GetLastError();
    DeleteFileW(temp_name.c_str());
    ThrowError(what, code);
  };
  {
    HANDLE raw = CreateFileW(temp_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
      fail("Cannot create file \"" + std::string(path) + "\"");
    }
    ScopedHandle file(raw);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
      fail("Cannot write file \"" + std::string(path) + "\"");
    }
    if (!FlushFileBuffers(file.get())) {
      fail("Cannot write file \"" + std::string(path) + "\"");
    }
  }
  if (!MoveFileExW(temp_name.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail("Cannot replace file \"" + std::string(path) + "\"");
  }
}

}  // namespace zalvo::win32
