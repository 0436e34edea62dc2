// Log files on Windows: each line is appended through a handle opened for
// it, shared for reading, so that the club can open the log while the
// service writes it.
#include <windows.h>

#include <string>

#include "platform/log_files.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::platform {
namespace {

class Win32LogFiles final : public LogFiles {
 public:
  uint64_t Append(std::string_view path, std::string_view bytes) override {
    const std::string name(path);
    win32::ScopedHandle file(CreateFileW(win32::Widen(path).c_str(), FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      win32::ThrowLastError("Cannot open the log \"" + name + "\"");
    }
    while (!bytes.empty()) {
      DWORD written = 0;
      if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
        win32::ThrowLastError("Cannot write the log \"" + name + "\"");
      }
      bytes.remove_prefix(written);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
      win32::ThrowLastError("Cannot read the size of the log \"" + name + "\"");
    }
    return static_cast<uint64_t>(size.QuadPart);
  }

  void Move(std::string_view from, std::string_view to) override {
    if (!MoveFileExW(win32::Widen(from).c_str(), win32::Widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
      win32::ThrowLastError("Cannot rename the log \"" + std::string(from) + "\"");
    }
  }
};

}  // namespace

std::unique_ptr<LogFiles> MakeLogFiles() {
  return std::make_unique<Win32LogFiles>();
}

}  // namespace zalvo::platform
