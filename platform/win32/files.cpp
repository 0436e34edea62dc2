#include "platform/win32/files.h"

#include <windows.h>

#include <vector>

#include "platform/win32/error.h"
#include "platform/win32/file_calls.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {

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
  ScopedHandle file(CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    ThrowLastError("Cannot open file \"" + std::string(path) + "\"");
  }
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

FileCalls& ReplaceFileCalls() {
  static FileCalls calls;
  return calls;
}

namespace {

// The temporary file of a save: deleted when the save ends without renaming
// it over the target, after its handle (held in a later scope) is closed.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::wstring name) : name_(std::move(name)) {}
  ~TemporaryFile() {
    if (!renamed_) {
      DeleteFileW(name_.c_str());
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::wstring& name() const { return name_; }
  void Renamed() { renamed_ = true; }

 private:
  std::wstring name_;
  bool renamed_ = false;
};

}  // namespace

void Win32Files::Replace(std::string_view path, std::string_view bytes) {
  const FileCalls& calls = ReplaceFileCalls();
  std::wstring target = Widen(path);
  if (bytes.size() > MAXDWORD) {
    throw platform::PlatformError("Cannot write file \"" + std::string(path) +
                                  "\": too large for one write");
  }
  // The temporary file sits beside the target, so that the rename stays on
  // one volume; the process number keeps two programs' saves apart.
  TemporaryFile temp(target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp");
  {
    ScopedHandle file(CreateFileW(temp.name().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      ThrowLastError("Cannot create file \"" + std::string(path) + "\"");
    }
    DWORD written = 0;
    if (!calls.write_file(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr) ||
        written != bytes.size()) {
      ThrowLastError("Cannot write file \"" + std::string(path) + "\"");
    }
    if (!calls.flush_file_buffers(file.get())) {
      ThrowLastError("Cannot write file \"" + std::string(path) + "\"");
    }
  }
  if (!calls.move_file(temp.name().c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLastError("Cannot replace file \"" + std::string(path) + "\"");
  }
  temp.Renamed();
}

bool Win32Files::Remove(std::string_view path) {
  const std::wstring name = Widen(path);
  if (DeleteFileW(name.c_str())) {
    return true;
  }
  DWORD error = GetLastError();
  // A read-only file is deleted too: its attribute goes first.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    if (DeleteFileW(name.c_str())) {
      return true;
    }
    error = GetLastError();
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return false;
  }
  ThrowError("Cannot delete file \"" + std::string(path) + "\"", error);
}

}  // namespace zalvo::win32
