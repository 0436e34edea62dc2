// What a running process uses, read from outside through /proc (Linux only):
// for the soak tests and the benchmarks.
#pragma once

#include <cstdint>
#include <optional>

namespace zalvo::testing {

struct ProcessUsage {
  int64_t resident_bytes = 0;       // VmRSS
  int64_t peak_resident_bytes = 0;  // VmHWM: the most since the start
  int64_t open_descriptors = 0;
  int64_t threads = 0;
};

// nullopt when the process does not exist (or /proc can't be read).
std::optional<ProcessUsage> ReadProcessUsage(int64_t pid);

}  // namespace zalvo::testing
