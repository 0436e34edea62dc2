// The signed envelope of a club with a command key. Each datagram, command
// or reply, is
//
//   Z1 <unix time> <nonce> <mac> <text>
//
// with single blanks: "Z1" the version; the sender's clock in seconds since
// 1970 in decimal (no sign, no leading zero, at most 19 digits); a nonce of
// 16 random bytes as 32 lower-case hex digits; the HMAC-SHA256 as 64
// lower-case hex digits; then the unchanged command or reply text, every
// byte to the end of the datagram. The MAC is taken over
//
//   "Z1" LF direction LF time LF nonce LF station address LF text
//
// where the direction is "C" for a command to the station and "R" for a
// reply or report from it, and the station address is the station's own,
// as the server addresses it, so that a command for one station does not act
// on another and a station's reply can't pass for a command. A command's
// replies carry the command's nonce; a report of the station's own carries a
// fresh one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/crypto.h"

namespace zalvo::protocol {

inline constexpr std::string_view kEnvelopeVersion = "Z1";
inline constexpr size_t kKeySize = 32;
inline constexpr size_t kNonceSize = 16;
inline constexpr size_t kNonceDigits = 2 * kNonceSize;
inline constexpr size_t kMacDigits = 64;
inline constexpr size_t kTimeDigits = 19;
// The most bytes the envelope puts before a text.
inline constexpr size_t kEnvelopeOverhead =
    kEnvelopeVersion.size() + 1 + kTimeDigits + 1 + kNonceDigits + 1 + kMacDigits + 1;
// A datagram is taken when its time is at most this far from the receiver's
// clock, either way.
inline constexpr int64_t kClockWindowSeconds = 60;
// How long a station remembers a nonce it has taken.
inline constexpr int64_t kReplayWindowSeconds = 120;

using CommandKey = std::array<uint8_t, kKeySize>;

enum class Direction : char { kCommand = 'C', kReply = 'R' };

// A key ready for envelopes: the key with its keyed hash state computed
// once, so that checking a datagram allocates nothing. One thread at a time.
class EnvelopeKey {
 public:
  // Throws PlatformError when the system's HMAC refuses the key.
  explicit EnvelopeKey(const CommandKey& key) : key_(key), hmac_(key) {}
  const CommandKey& key() const { return key_; }
  // The envelope's MAC of the fields (see the top of this file).
  [[nodiscard]] platform::Sha256Mac Mac(Direction direction, std::string_view time_text,
                                        std::string_view nonce, std::string_view station,
                                        std::string_view text);

 private:
  CommandKey key_;
  platform::HmacSha256Key hmac_;
};

// Why a datagram was not taken; kOk when it was.
enum class Verdict : uint8_t {
  kOk,
  kMalformed,      // not an envelope of this version
  kOutsideWindow,  // its time is more than 60 s from the clock
  kBadMac,         // another key, another station, or changed on the way
  kReplayed,       // its nonce was taken within the last 120 s
  kCacheFull,      // too many nonces within 120 s to remember one more
  kOtherNonce,     // a reply that does not answer the command asked about
  kStale,          // not newer than the receiver's replay mark allows
};
std::string_view VerdictText(Verdict verdict);

struct EnvelopeFields {
  int64_t time = 0;
  std::string_view time_text;
  std::string_view nonce;
  std::string_view mac;
  std::string_view text;
};

// The fields of a well-formed envelope; nullopt for anything else.
[[nodiscard]] std::optional<EnvelopeFields> ParseEnvelope(std::string_view datagram);

// The envelope around the text with the given time and nonce (32 lower-case
// hex digits). Throws PlatformError when the system's HMAC fails.
[[nodiscard]] std::string Seal(Direction direction, std::string_view text, EnvelopeKey& key,
                               std::string_view station, int64_t time, std::string_view nonce);
[[nodiscard]] std::string Seal(Direction direction, std::string_view text, const CommandKey& key,
                               std::string_view station, int64_t time, std::string_view nonce);

struct Opened {
  Verdict verdict = Verdict::kMalformed;
  // Parts of the datagram; meaningful when the verdict is kOk.
  std::string_view text;
  std::string_view nonce;
  std::string_view mac;
  int64_t time = 0;
};

// Checks the form, the time against now, then that the time is not before
// `oldest`, and only then the MAC (compared in constant time): a datagram
// that fails a check that needs no key costs no HMAC. Remembers nothing.
[[nodiscard]] Opened Open(std::string_view datagram, Direction direction, EnvelopeKey& key,
                          std::string_view station, int64_t now,
                          int64_t oldest = std::numeric_limits<int64_t>::min());
[[nodiscard]] Opened Open(std::string_view datagram, Direction direction, const CommandKey& key,
                          std::string_view station, int64_t now);

// The nonces taken in the last 120 s, at most `capacity` of them. A nonce is
// remembered from the moment it is taken; a full cache takes nothing new
// (a refused command is safer than a command that may be replayed).
class ReplayCache {
 public:
  explicit ReplayCache(size_t capacity = 32768) : capacity_(capacity) {}

  // kOk and remembered, or kReplayed, or kCacheFull.
  Verdict Admit(std::string_view nonce, int64_t now);
  size_t size() const { return seen_.size(); }

 private:
  void Expire(int64_t now);

  size_t capacity_;
  std::deque<std::pair<int64_t, std::string>> order_;
  std::unordered_set<std::string> seen_;
};

// The clock in seconds since 1970, and a fresh nonce from the system's
// random generator.
[[nodiscard]] int64_t UnixNow();
[[nodiscard]] std::string NewNonce();

// What a console needs in one call each.
struct SignedCommand {
  std::string datagram;
  std::string nonce;  // the nonce its replies carry
};
// The command in an envelope for the station at that address, with the
// clock's time and a fresh nonce.
[[nodiscard]] SignedCommand Sign(std::string_view command, EnvelopeKey& key,
                                 std::string_view station_address);
[[nodiscard]] SignedCommand Sign(std::string_view command, const CommandKey& key,
                                 std::string_view station_address);
// A datagram from the station: kOk with the reply's text when it is a reply
// to the command of that nonce, kOtherNonce for a report or a reply to
// another command that is otherwise sound, else why it is not to be trusted.
// With an empty nonce any sound reply or report is kOk.
[[nodiscard]] Opened OpenReply(std::string_view datagram, EnvelopeKey& key,
                               std::string_view station_address, std::string_view nonce);
[[nodiscard]] Opened OpenReply(std::string_view datagram, const CommandKey& key,
                               std::string_view station_address, std::string_view nonce);

// A station's own key, derived from the club's key and the station's address
// (as the server addresses it, four numbers without leading zeros):
//
//   HMAC-SHA256(club key, "zalvo station key" LF address)
//
// A station keeps only this key; the console and zalvoctl derive it per
// station from the club key. docs/protocol.md works one example through.
inline constexpr std::string_view kStationKeyLabel = "zalvo station key";
[[nodiscard]] CommandKey DeriveStationKey(const CommandKey& club_key, std::string_view address);

// A key whose 32 bytes are all the same (all zero among them): what a key
// left unset or typed by hand looks like, never what a random generator
// gives. Such a key is refused wherever one is read.
[[nodiscard]] bool IsWeakKey(const CommandKey& key);

}  // namespace zalvo::protocol
