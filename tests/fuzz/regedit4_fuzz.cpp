// libFuzzer target: see regedit4_entry.cpp for what it checks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zalvo::fuzz::FuzzRegedit4(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
