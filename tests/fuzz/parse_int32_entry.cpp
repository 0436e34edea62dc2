// The integer parse against a reading of its rules written apart from it:
// the grammar is checked character class by character class, and the value
// is computed by the C library's strtoll on the digits alone.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "tests/fuzz/fuzz_entries.h"
#include "text/text.h"

namespace zalvo::fuzz {
namespace {

bool IsDigitOf(char c, int base) {
  if (c >= '0' && c <= '9') {
    return true;
  }
  return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

std::optional<int32_t> Reference(std::string_view text) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) {
    return std::nullopt;
  }
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (text.substr(i, 1) == "$") {
    base = 16;
    i += 1;
  } else if (text.substr(i, 2) == "0x") {
    base = 16;
    i += 2;
  }
  std::string_view digits = text.substr(i);
  if (digits.empty()) {
    return std::nullopt;
  }
  for (char c : digits) {
    if (!IsDigitOf(c, base)) {
      return std::nullopt;
    }
  }
  // Leading zeros change nothing; more than twelve digits left can't fit.
  size_t first = digits.find_first_not_of('0');
  digits = first == std::string_view::npos ? std::string_view("0") : digits.substr(first);
  if (digits.size() > 12) {
    return std::nullopt;
  }
  std::string copy(digits);
  errno = 0;
  long long magnitude = std::strtoll(copy.c_str(), nullptr, base);
  if (errno != 0) {
    return std::nullopt;
  }
  long long value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

void FuzzParseInt32(std::string_view input) {
  std::optional<int32_t> parsed = text::ParseInt32(input);
  Check(parsed == Reference(input), "ParseInt32 agrees with the reference reading");
  if (parsed) {
    // The decimal text of a value reads back as that value, with and
    // without leading blanks.
    std::string decimal = std::to_string(*parsed);
    Check(text::ParseInt32(decimal) == parsed, "a value's decimal text reads back");
    Check(text::ParseInt32("  " + decimal) == parsed, "leading blanks are skipped");
    // A trailing blank is never accepted.
    Check(!text::ParseInt32(std::string(input) + " "), "a trailing blank fails the parse");
  }
}

}  // namespace zalvo::fuzz
