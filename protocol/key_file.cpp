#include "protocol/key_file.h"

#include <vector>

#include "protocol/address.h"
#include "text/text.h"

namespace zalvo::protocol {
namespace {

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

KeyText ParseKeyText(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = Trimmed(text.substr(0, end));
    if (!line.empty()) {
      lines.push_back(line);
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  if (lines.empty()) {
    throw KeyFileError("the key is empty");
  }
  if (lines.size() > 2) {
    throw KeyFileError("the key text has more than two lines (the key and the station address)");
  }
  std::string_view hex = lines[0];
  KeyText parsed;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (text::HexDigit(hex[i]) < 0) {
      throw KeyFileError("the key is not hex: character " + std::to_string(i + 1) +
                         " is not a digit 0-9 or a letter a-f");
    }
  }
  if (hex.size() != 2 * kKeySize) {
    throw KeyFileError("the key has " + std::to_string(hex.size()) + " hex digits, not " +
                       std::to_string(2 * kKeySize) + " (32 bytes)");
  }
  for (size_t i = 0; i < kKeySize; ++i) {
    parsed.key[i] =
        static_cast<uint8_t>(text::HexDigit(hex[2 * i]) * 16 + text::HexDigit(hex[2 * i + 1]));
  }
  if (lines.size() == 2) {
    if (!ParseDottedAddress(lines[1])) {
      throw KeyFileError("the station address '" + std::string(lines[1]) +
                         "' is not four numbers 0-255 without leading zeros");
    }
    parsed.station_address = std::string(lines[1]);
  }
  return parsed;
}

std::string KeyHex(const CommandKey& key) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : key) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

}  // namespace zalvo::protocol
