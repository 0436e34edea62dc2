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

CommandKey ParseKeyHex(std::string_view hex) {
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
  CommandKey key{};
  for (size_t i = 0; i < kKeySize; ++i) {
    key[i] = static_cast<uint8_t>(text::HexDigit(hex[2 * i]) * 16 + text::HexDigit(hex[2 * i + 1]));
  }
  if (IsWeakKey(key)) {
    throw KeyFileError(
        "the key is one byte repeated 32 times, which anyone could guess: make a new one with "
        "zalvoctl keygen");
  }
  return key;
}

std::string ParseAddress(std::string_view line) {
  if (!ParseDottedAddress(line)) {
    throw KeyFileError("the station address '" + std::string(line) +
                       "' is not four numbers 0-255 without leading zeros");
  }
  return std::string(line);
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
  KeyText parsed;
  if (lines[0] == kClubKeyHeading || lines[0] == kStationKeyHeading) {
    parsed.kind = lines[0] == kClubKeyHeading ? KeyKind::kClub : KeyKind::kStation;
    const size_t wanted = parsed.kind == KeyKind::kClub ? 2 : 3;
    if (lines.size() < 2) {
      throw KeyFileError("the key text names its kind but holds no key");
    }
    if (lines.size() > wanted) {
      throw KeyFileError(parsed.kind == KeyKind::kClub
                             ? "a club key has no more lines than its key"
                             : "a station key has no more lines than its key and its address");
    }
    parsed.key = ParseKeyHex(lines[1]);
    if (parsed.kind == KeyKind::kStation) {
      if (lines.size() < 3) {
        throw KeyFileError(
            "the station key names no station address (its third line: the address the server "
            "sends to)");
      }
      parsed.station_address = ParseAddress(lines[2]);
    }
    return parsed;
  }
  if (text::HexDigit(lines[0].front()) < 0 && lines[0].find(' ') != std::string_view::npos) {
    throw KeyFileError("the first line '" + std::string(lines[0]) + "' is neither '" +
                       std::string(kClubKeyHeading) + "' nor '" + std::string(kStationKeyHeading) +
                       "'");
  }
  // The earlier form: the shared key, and the address where a station keeps
  // it.
  if (lines.size() > 2) {
    throw KeyFileError("the key text has more than two lines (the key and the station address)");
  }
  parsed.earlier_form = true;
  parsed.key = ParseKeyHex(lines[0]);
  if (lines.size() == 2) {
    parsed.station_address = ParseAddress(lines[1]);
  }
  return parsed;
}

std::string KeyFileText(const KeyText& key) {
  std::string text(key.kind == KeyKind::kClub ? kClubKeyHeading : kStationKeyHeading);
  text += '\n';
  text += KeyHex(key.key);
  text += '\n';
  if (key.kind == KeyKind::kStation) {
    text += key.station_address;
    text += '\n';
  }
  return text;
}

ClubKeyedStations ClubKeyedStations::Parse(std::string_view list) {
  ClubKeyedStations stations;
  if (list == "all") {
    stations.all_ = true;
    return stations;
  }
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view entry = Trimmed(list.substr(0, comma));
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    if (!ParseDottedAddress(entry)) {
      throw KeyFileError("the club-keyed station '" + std::string(entry) +
                         "' is not four numbers 0-255 without leading zeros (or give 'all')");
    }
    stations.addresses_.emplace(entry);
  }
  return stations;
}

bool ClubKeyedStations::Contains(std::string_view address) const {
  return all_ || addresses_.count(std::string(address)) != 0;
}

CommandKey KeyForStation(const CommandKey& club_key, const ClubKeyedStations& club_keyed,
                         std::string_view address) {
  return club_keyed.Contains(address) ? club_key : DeriveStationKey(club_key, address);
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
