#include "lockscreen/win32/log_file.h"

#include <windows.h>

#include <string>

#include "platform/console.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::lockscreen::win32 {
namespace {

constexpr wchar_t kLogName[] = L"zalvoc.log";
constexpr wchar_t kOldLogName[] = L"zalvoc.old.log";
constexpr ULONGLONG kMaxLogBytes = 1024ULL * 1024ULL;

std::wstring TempFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) {
    return {};
  }
  return std::wstring(folder, length);  // ends with a backslash
}

void MoveAsideWhenLarge(const std::wstring& folder) {
  const std::wstring path = folder + kLogName;
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
    return;  // no log yet
  }
  ULARGE_INTEGER size{};
  size.LowPart = info.nFileSizeLow;
  size.HighPart = info.nFileSizeHigh;
  if (size.QuadPart > kMaxLogBytes) {
    MoveFileExW(path.c_str(), (folder + kOldLogName).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}

void Append(const std::wstring& path, const std::string& bytes) {
  zalvo::win32::ScopedHandle file(CreateFileW(
      path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return;
  }
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

platform::LogSink MakeLog() {
  const std::wstring folder = TempFolder();
  if (!folder.empty()) {
    MoveAsideWhenLarge(folder);
  }
  const std::wstring path = folder.empty() ? folder : folder + kLogName;
  return [path](std::string_view line) {
    const std::wstring shown = L"zalvoc: " + zalvo::win32::Widen(line) + L"\n";
    OutputDebugStringW(shown.c_str());
    if (!path.empty()) {
      // The file holds Windows-1251 text, as every file of the system.
      Append(path, platform::LocalTimestamp() + " " + std::string(line) + "\r\n");
    }
  };
}

}  // namespace zalvo::lockscreen::win32
