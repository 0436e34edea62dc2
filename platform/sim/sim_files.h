// The simulated station's Windows directory: a folder of the station. Paths
// of the system's Windows form are mapped to the folder by turning their
// backslashes into slashes.
#pragma once

#include <filesystem>

#include "platform/files.h"

namespace zalvo::sim {

class SimFiles final : public platform::StationFiles {
 public:
  explicit SimFiles(std::filesystem::path windows_directory);

  std::string WindowsDirectory() override;
  std::string Read(std::string_view path) override;
  void Replace(std::string_view path, std::string_view bytes) override;
  bool Remove(std::string_view path) override;

 private:
  std::filesystem::path windows_directory_;
};

// Writes a file of the station in one step (temporary file, flush, rename),
// as the Windows implementation does. Throws PlatformError.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes);
// Reads a whole file; throws PlatformError when it is missing or unreadable.
std::string ReadWholeFile(const std::filesystem::path& path);

}  // namespace zalvo::sim
