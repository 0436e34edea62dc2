// The command key as a club keeps it: a text whose first line is the key's
// 32 bytes as 64 hex digits (what "zalvoctl keygen" prints). A station's
// key text has a second line with the station's own address as the server
// addresses it. Blanks, tabs and line ends around the lines are ignored.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/envelope.h"

namespace zalvo::protocol {

// Why a key text can't be used, for the person who has to fix it.
class KeyFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct KeyText {
  CommandKey key{};
  // The station's address; empty when the text names none.
  std::string station_address;
};

// Throws KeyFileError for a text that is empty, holds other characters
// than hex digits in its key, a key of another length, a second line that
// is not an address in the agent's form, or more lines.
[[nodiscard]] KeyText ParseKeyText(std::string_view text);

// The key text of a file. Throws KeyFileError, naming the file, for a file
// that can't be read or whose text can't be used.
[[nodiscard]] KeyText ReadKeyFile(const std::string& path);

// The key as 64 lower-case hex digits.
[[nodiscard]] std::string KeyHex(const CommandKey& key);

}  // namespace zalvo::protocol
