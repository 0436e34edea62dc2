// The simulated station's hive files: any text either reads or is refused
// with std::runtime_error, and a hive that was read writes out as text that
// reads back as the same hive.
#include <stdexcept>
#include <string>

#include "platform/sim/regedit4.h"
#include "tests/fuzz/fuzz_entries.h"

namespace zalvo::fuzz {
namespace {

using sim::RegHive;

bool SameHive(const RegHive& a, const RegHive& b) {
  if (a.root != b.root || a.keys.size() != b.keys.size()) {
    return false;
  }
  for (size_t k = 0; k < a.keys.size(); ++k) {
    const sim::RegKey& x = a.keys[k];
    const sim::RegKey& y = b.keys[k];
    if (x.path != y.path || x.values.size() != y.values.size()) {
      return false;
    }
    for (size_t v = 0; v < x.values.size(); ++v) {
      if (x.values[v].name != y.values[v].name || x.values[v].type != y.values[v].type ||
          x.values[v].data != y.values[v].data) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void FuzzRegedit4(std::string_view input) {
  // The first byte picks the hive, so both roots are reached.
  std::string_view root = "HKEY_CURRENT_USER";
  if (!input.empty() && (static_cast<unsigned char>(input[0]) & 1) != 0) {
    root = "HKEY_LOCAL_MACHINE";
  }
  if (!input.empty()) {
    input.remove_prefix(1);
  }
  RegHive hive;
  try {
    hive = sim::ParseRegedit4(root, input);
  } catch (const std::runtime_error&) {
    return;  // refused as a bad file
  }
  std::string written = sim::FormatRegedit4(hive);
  RegHive again;
  try {
    again = sim::ParseRegedit4(root, written);
  } catch (const std::runtime_error&) {
    Check(false, "a written hive reads back without error");
  }
  Check(SameHive(hive, again), "a written hive reads back as the same hive");
  Check(sim::FormatRegedit4(again) == written, "writing a hive read back gives the same text");
  for (const sim::RegKey& key : hive.keys) {
    Check(hive.Exists(key.path), "every key read exists");
  }
}

}  // namespace zalvo::fuzz
