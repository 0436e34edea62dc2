// The station's Windows directory and the files the programs keep in it.
// Paths are Windows-1251 text in Windows form (backslashes).
#pragma once

#include <string>
#include <string_view>

namespace zalvo::platform {

class StationFiles {
 public:
  virtual ~StationFiles() = default;

  // The Windows directory, without a trailing backslash.
  virtual std::string WindowsDirectory() = 0;

  // The whole content of a file. A file that is missing or can't be read
  // throws PlatformError.
  virtual std::string Read(std::string_view path) = 0;

  // Replaces the file with the bytes in one step: a temporary file in the
  // same folder is written, flushed to the disk and renamed over the old one,
  // so that a crash or a full disk leaves the old file or the new one, never
  // a part. A failure throws PlatformError and leaves the old file.
  virtual void Replace(std::string_view path, std::string_view bytes) = 0;

  // Deletes the file (a read-only one too); false when there was none. A
  // file that can't be deleted throws PlatformError.
  virtual bool Remove(std::string_view path) = 0;
};

}  // namespace zalvo::platform
