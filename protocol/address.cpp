#include "protocol/address.h"

namespace zalvo::protocol {

std::optional<std::array<uint8_t, 4>> ParseDottedAddress(std::string_view text) {
  std::array<uint8_t, 4> bytes{};
  for (size_t part = 0; part < bytes.size(); ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') {
        return std::nullopt;
      }
      text.remove_prefix(1);
    }
    size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
      ++digits;
    }
    if (digits == 0 || digits > 3 || (digits > 1 && text.front() == '0')) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (size_t i = 0; i < digits; ++i) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 255) {
      return std::nullopt;
    }
    bytes[part] = static_cast<uint8_t>(value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace zalvo::protocol
