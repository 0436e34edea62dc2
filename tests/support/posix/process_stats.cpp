#include "tests/support/process_stats.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace zalvo::testing {

std::optional<ProcessUsage> ReadProcessUsage(int64_t pid) {
  const std::filesystem::path proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc / "status");
  if (!status) {
    return std::nullopt;
  }
  ProcessUsage usage;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      usage.resident_bytes = std::stoll(line.substr(6)) * 1024;  // "VmRSS:   1234 kB"
    } else if (line.rfind("VmHWM:", 0) == 0) {
      usage.peak_resident_bytes = std::stoll(line.substr(6)) * 1024;
    } else if (line.rfind("Threads:", 0) == 0) {
      usage.threads = std::stoll(line.substr(8));
    }
  }
  std::error_code error;
  for (std::filesystem::directory_iterator it(proc / "fd", error), end; !error && it != end;
       it.increment(error)) {
    ++usage.open_descriptors;
  }
  if (error) {
    return std::nullopt;
  }
  return usage;
}

}  // namespace zalvo::testing
