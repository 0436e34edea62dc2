// The lock screen's two passwords: their scrambled registry form and the
// plain-text override file krv.krv.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zalvo::settings {

// Stored form of a password: its first 255 bytes, each XORed with 0x0E. The
// same operation turns the stored form back.
std::string ScramblePassword(std::string_view text);
std::string UnscramblePassword(std::string_view stored);

// The two passwords of krv.krv: "p", the administrator password, and "ps",
// the small password. A key the file lacks, or leaves empty, gives nothing:
// that password stays as it was, since an empty one would unlock the
// station for anyone.
struct PasswordOverride {
  std::optional<std::string> admin;
  std::optional<std::string> small;
};
PasswordOverride ParsePasswordFile(std::string_view file_bytes);

}  // namespace zalvo::settings
