// The files a program's log is kept in: lines appended at the end, and a
// full file moved aside. Paths are Windows-1251 text in the platform's form.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace zalvo::platform {

class LogFiles {
 public:
  virtual ~LogFiles() = default;

  // Appends the bytes at the end of the file, creating the file when it is
  // missing (not its folder), and returns the file's size afterwards. A
  // failure throws PlatformError.
  virtual uint64_t Append(std::string_view path, std::string_view bytes) = 0;

  // Renames the file, replacing a file of the new name. A failure throws
  // PlatformError.
  virtual void Move(std::string_view from, std::string_view to) = 0;
};

// The platform's implementation.
std::unique_ptr<LogFiles> MakeLogFiles();

}  // namespace zalvo::platform
