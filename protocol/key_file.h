// The command keys as they are kept in files. A key file names its kind on
// its first line:
//
//   zalvo club key              zalvo station key
//   <64 hex digits>             <64 hex digits>
//                               <the station's address>
//
// The club keeps one club key (zalvoctl keygen); each station keeps only its
// own key, derived from the club key and its address (zalvoctl derive), with
// the address as the server sends to it. A file of the earlier form, the hex
// digits first, is the key that the club and its stations shared before
// stations had keys of their own: the club key, with the station's address
// when a station keeps it. Blanks, tabs and line ends around the lines are
// ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>

#include "protocol/envelope.h"

namespace zalvo::protocol {

// Why a key text can't be used, for the person who has to fix it.
class KeyFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class KeyKind : uint8_t { kClub, kStation };

inline constexpr std::string_view kClubKeyHeading = "zalvo club key";
inline constexpr std::string_view kStationKeyHeading = "zalvo station key";

struct KeyText {
  CommandKey key{};
  // The station's address; empty when the text names none.
  std::string station_address;
  KeyKind kind = KeyKind::kClub;
  // The earlier form, without a first line naming the kind.
  bool earlier_form = false;
};

// Throws KeyFileError for a text that is empty, names no kind it knows,
// holds other characters than hex digits in its key, a key of another
// length, a key of one repeated byte, an address that is not in the agent's
// form (or a station key without one, a club key with one), or more lines.
[[nodiscard]] KeyText ParseKeyText(std::string_view text);

// The text of a key file of the kind (a station key with its address).
[[nodiscard]] std::string KeyFileText(const KeyText& key);

// How a program reads its key file: a file that others than its owner (and
// the administrators) may read is refused when strict, else read with a
// warning.
struct KeyFileRead {
  KeyText key;
  // Empty, or what is wrong with the file's rights and how to fix it.
  std::string warning;
};

// The key text of a file. Throws KeyFileError, naming the file, for a file
// that can't be read, whose text can't be used, or (when strict) that others
// may read.
[[nodiscard]] KeyFileRead ReadKeyFile(const std::string& path, bool strict = false);

// The stations that still keep the club's key, installed before stations
// had keys of their own, while the club moves over: "all", or their
// addresses separated by commas.
class ClubKeyedStations {
 public:
  ClubKeyedStations() = default;
  // Throws KeyFileError for an entry that is not an address in the agent's
  // form.
  [[nodiscard]] static ClubKeyedStations Parse(std::string_view list);
  bool Contains(std::string_view address) const;
  bool empty() const { return !all_ && addresses_.empty(); }

 private:
  bool all_ = false;
  std::unordered_set<std::string> addresses_;
};

// The key that the station at the address keeps: the club's own key for a
// club-keyed station, else the key derived for it.
[[nodiscard]] CommandKey KeyForStation(const CommandKey& club_key,
                                       const ClubKeyedStations& club_keyed,
                                       std::string_view address);

// The key as 64 lower-case hex digits.
[[nodiscard]] std::string KeyHex(const CommandKey& key);

}  // namespace zalvo::protocol
