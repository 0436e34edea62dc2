#include "platform/lock_cover.h"

namespace zalvo::platform {
namespace {

// "covered=1 window=1 dialog=0 seen=..." with the flags in this order.
constexpr std::string_view kFlags[] = {"covered=", "window=", "dialog="};
constexpr std::string_view kSeen = "seen=";

}  // namespace

std::string EncodeCoverLook(const CoverLook& look) {
  const bool values[std::size(kFlags)] = {look.covered, look.lock_screen_window,
                                          look.settings_dialog};
  std::string line;
  size_t i = 0;
  for (bool value : values) {
    line += std::string(kFlags[i++]) + (value ? "1 " : "0 ");
  }
  line += kSeen;
  for (char c : look.seen.substr(0, kMostSeen)) {
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
  }
  return line;
}

std::optional<CoverLook> DecodeCoverLook(std::string_view line) {
  if (line.size() > kMostSeen + 64) {
    return std::nullopt;
  }
  bool values[std::size(kFlags)] = {};
  for (size_t i = 0; i < std::size(kFlags); ++i) {
    const std::string_view flag = kFlags[i];
    if (line.substr(0, flag.size()) != flag || line.size() < flag.size() + 2 ||
        (line[flag.size()] != '0' && line[flag.size()] != '1') || line[flag.size() + 1] != ' ') {
      return std::nullopt;
    }
    values[i] = line[flag.size()] == '1';
    line.remove_prefix(flag.size() + 2);
  }
  if (line.substr(0, kSeen.size()) != kSeen) {
    return std::nullopt;
  }
  line.remove_prefix(kSeen.size());
  if (line.size() > kMostSeen) {
    return std::nullopt;
  }
  for (char c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return std::nullopt;
    }
  }
  return CoverLook{values[0], values[1], values[2], std::string(line), std::nullopt};
}

}  // namespace zalvo::platform
