#include "settings/passwords.h"

#include "settings/settings_file.h"

namespace zalvo::settings {
namespace {

constexpr size_t kStoredLimit = 255;
constexpr char kScrambleKey = 0x0E;

}  // namespace

std::string ScramblePassword(std::string_view text) {
  std::string out(text.substr(0, kStoredLimit));
  for (char& c : out) {
    c = static_cast<char>(c ^ kScrambleKey);
  }
  return out;
}

std::string UnscramblePassword(std::string_view stored) {
  return ScramblePassword(stored);
}

PasswordOverride ParsePasswordFile(std::string_view file_bytes) {
  const SettingsText file(file_bytes);
  auto present = [&](std::string_view key) -> std::optional<std::string> {
    std::string value = file.Value(key);
    if (value.empty()) {
      return std::nullopt;
    }
    return value;
  };
  return {present("p"), present("ps")};
}

}  // namespace zalvo::settings
