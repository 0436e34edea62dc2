// An in-memory Windows directory for the tests of code that reads and
// replaces the station's files.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/files.h"

namespace zalvo::testing {

// The Windows directory C:\WINDOWS in memory.
class MemoryFiles final : public platform::StationFiles {
 public:
  std::map<std::string, std::string> files;
  bool refuse_writes = false;
  int replaces = 0;

  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  std::string Read(std::string_view path) override {
    auto it = files.find(std::string(path));
    if (it == files.end()) {
      throw platform::PlatformError("Cannot open file \"" + std::string(path) + "\"",
                                    platform::ErrorKind::kNotFound);
    }
    return it->second;
  }
  void Replace(std::string_view path, std::string_view bytes) override {
    if (refuse_writes) {
      throw platform::PlatformError("Access is denied", platform::ErrorKind::kAccessDenied);
    }
    ++replaces;
    files[std::string(path)] = std::string(bytes);
  }
  bool Remove(std::string_view path) override {
    if (refuse_writes) {
      throw platform::PlatformError("Access is denied", platform::ErrorKind::kAccessDenied);
    }
    return files.erase(std::string(path)) > 0;
  }
};

}  // namespace zalvo::testing
