#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/fuzz_entries.h"

namespace zalvo::fuzz {
namespace {

std::string& InputName() {
  static std::string name;
  return name;
}

}  // namespace

void SetInputName(std::string_view name) {
  InputName() = std::string(name);
}

void Check(bool holds, const char* rule) {
  if (holds) {
    return;
  }
  std::fprintf(stderr, "broken rule: %s%s%s\n", rule, InputName().empty() ? "" : " in ",
               InputName().c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace zalvo::fuzz
