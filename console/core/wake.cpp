#include "console/core/wake.h"

#include <vector>

#include "text/text.h"

namespace zalvo::console {

std::optional<Mac> ParseMac(std::string_view text) {
  Mac mac{};
  size_t pos = 0;
  char separator = 0;
  if (text.size() == 17) {
    separator = text[2];
    if (separator != ':' && separator != '-') {
      return std::nullopt;
    }
  } else if (text.size() != 12) {
    return std::nullopt;
  }
  for (size_t i = 0; i < mac.size(); ++i) {
    if (separator != 0 && i > 0 && text[pos++] != separator) {
      return std::nullopt;
    }
    int high = text::HexDigit(text[pos++]);
    int low = text::HexDigit(text[pos++]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    mac[i] = static_cast<uint8_t>(high * 16 + low);
  }
  bool zero = true;
  for (uint8_t byte : mac) {
    zero = zero && byte == 0;
  }
  if (zero || (mac[0] & 1) != 0) {
    return std::nullopt;
  }
  return mac;
}

std::string MacText(const Mac& mac) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < mac.size(); ++i) {
    if (i > 0) {
      text += ':';
    }
    text += kHex[mac[i] >> 4];
    text += kHex[mac[i] & 15];
  }
  return text;
}

std::string MagicPacket(const Mac& mac) {
  std::string packet(6, '\xFF');
  for (int i = 0; i < 16; ++i) {
    packet.append(reinterpret_cast<const char*>(mac.data()), mac.size());
  }
  return packet;
}

std::map<std::string, Mac> ParseNeighbourTable(std::string_view text) {
  std::map<std::string, Mac> table;
  size_t start = text.find('\n');  // past the header
  while (start != std::string_view::npos && start < text.size()) {
    size_t end = text.find('\n', start + 1);
    std::string_view line = text.substr(
        start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
    start = end;
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
      }
      size_t begin = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        ++i;
      }
      if (i > begin) {
        fields.push_back(line.substr(begin, i - begin));
      }
    }
    // Flags 0x2: a complete entry.
    if (fields.size() < 4 || fields[2] != "0x2") {
      continue;
    }
    if (auto mac = ParseMac(fields[3])) {
      table[std::string(fields[0])] = *mac;
    }
  }
  return table;
}

}  // namespace zalvo::console
