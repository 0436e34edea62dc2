#include "protocol/envelope.h"

#include <chrono>
#include <limits>
#include <stdexcept>

#include "platform/crypto.h"

namespace zalvo::protocol {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsLowerHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 15];
  }
  return text;
}

// Takes the field up to the next blank; false when there is no blank.
bool TakeField(std::string_view& rest, std::string_view& field) {
  size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) {
    return false;
  }
  field = rest.substr(0, blank);
  rest.remove_prefix(blank + 1);
  return true;
}

std::optional<int64_t> ParseTime(std::string_view text) {
  if (text.empty() || text.size() > kTimeDigits || (text.size() > 1 && text.front() == '0')) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');  // 19 digits fit 64 bits
  }
  if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::nullopt;
  }
  return static_cast<int64_t>(value);
}

// The 32 bytes of a MAC field that ParseEnvelope found to be 64 lower-case
// hex digits.
platform::Sha256Mac MacBytes(std::string_view hex) {
  auto digit = [](char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
  platform::Sha256Mac bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(digit(hex[2 * i]) << 4 | digit(hex[2 * i + 1]));
  }
  return bytes;
}

// Compares every byte whatever the first difference, so that the time taken
// tells nothing about how much of a forged MAC was right.
bool SameInConstantTime(const platform::Sha256Mac& a, const platform::Sha256Mac& b) {
  unsigned difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned>(a[i] ^ b[i]);
  }
  return difference == 0;
}

uint64_t Distance(int64_t a, int64_t b) {
  // The difference of two 64-bit integers always fits an unsigned one.
  return a > b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
               : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

}  // namespace

platform::Sha256Mac EnvelopeKey::Mac(Direction direction, std::string_view time_text,
                                     std::string_view nonce, std::string_view station,
                                     std::string_view text) {
  const char direction_char = static_cast<char>(direction);
  return hmac_.Mac({kEnvelopeVersion, "\n", std::string_view(&direction_char, 1), "\n", time_text,
                    "\n", nonce, "\n", station, "\n", text});
}

std::string_view VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk:
      return "signed ok";
    case Verdict::kMalformed:
      return "unsigned";
    case Verdict::kOutsideWindow:
      return "time outside the 60 s window";
    case Verdict::kBadMac:
      return "bad MAC";
    case Verdict::kReplayed:
      return "nonce seen before";
    case Verdict::kCacheFull:
      return "too many nonces to remember";
    case Verdict::kOtherNonce:
      return "answers another command";
    case Verdict::kStale:
      return "not newer than the replay mark";
  }
  return "unknown";
}

std::optional<EnvelopeFields> ParseEnvelope(std::string_view datagram) {
  EnvelopeFields fields;
  std::string_view rest = datagram;
  std::string_view version;
  if (!TakeField(rest, version) || version != kEnvelopeVersion ||
      !TakeField(rest, fields.time_text) || !TakeField(rest, fields.nonce) ||
      !TakeField(rest, fields.mac)) {
    return std::nullopt;
  }
  auto time = ParseTime(fields.time_text);
  if (!time || fields.nonce.size() != kNonceDigits || !IsLowerHex(fields.nonce) ||
      fields.mac.size() != kMacDigits || !IsLowerHex(fields.mac)) {
    return std::nullopt;
  }
  fields.time = *time;
  fields.text = rest;
  return fields;
}

std::string Seal(Direction direction, std::string_view text, EnvelopeKey& key,
                 std::string_view station, int64_t time, std::string_view nonce) {
  if (time < 0 || nonce.size() != kNonceDigits || !IsLowerHex(nonce)) {
    throw std::invalid_argument("an envelope needs a time of 0 or more and a nonce of 32 digits");
  }
  std::string time_text = std::to_string(time);
  std::string datagram(kEnvelopeVersion);
  datagram += ' ';
  datagram += time_text;
  datagram += ' ';
  datagram += nonce;
  datagram += ' ';
  datagram += Hex(key.Mac(direction, time_text, nonce, station, text));
  datagram += ' ';
  datagram += text;
  return datagram;
}

std::string Seal(Direction direction, std::string_view text, const CommandKey& key,
                 std::string_view station, int64_t time, std::string_view nonce) {
  EnvelopeKey envelope_key(key);
  return Seal(direction, text, envelope_key, station, time, nonce);
}

Opened Open(std::string_view datagram, Direction direction, EnvelopeKey& key,
            std::string_view station, int64_t now, int64_t oldest) {
  Opened opened;
  auto fields = ParseEnvelope(datagram);
  if (!fields) {
    return opened;
  }
  // The cheap checks first: a flood of stale datagrams costs no HMAC.
  if (Distance(fields->time, now) > static_cast<uint64_t>(kClockWindowSeconds)) {
    opened.verdict = Verdict::kOutsideWindow;
    return opened;
  }
  if (fields->time < oldest) {
    opened.verdict = Verdict::kStale;
    opened.time = fields->time;
    return opened;
  }
  if (!SameInConstantTime(
          key.Mac(direction, fields->time_text, fields->nonce, station, fields->text),
          MacBytes(fields->mac))) {
    opened.verdict = Verdict::kBadMac;
    return opened;
  }
  opened.verdict = Verdict::kOk;
  opened.text = fields->text;
  opened.nonce = fields->nonce;
  opened.mac = fields->mac;
  opened.time = fields->time;
  return opened;
}

Opened Open(std::string_view datagram, Direction direction, const CommandKey& key,
            std::string_view station, int64_t now) {
  EnvelopeKey envelope_key(key);
  return Open(datagram, direction, envelope_key, station, now);
}

void ReplayCache::Expire(int64_t now) {
  // A nonce taken at t is kept while now - t <= 120; a clock that went back
  // keeps nonces longer, never shorter.
  while (!order_.empty() && order_.front().first < now &&
         Distance(now, order_.front().first) > static_cast<uint64_t>(kReplayWindowSeconds)) {
    seen_.erase(order_.front().second);
    order_.pop_front();
  }
}

Verdict ReplayCache::Admit(std::string_view nonce, int64_t now) {
  Expire(now);
  std::string key(nonce);
  if (seen_.count(key) != 0) {
    return Verdict::kReplayed;
  }
  if (seen_.size() >= capacity_) {
    return Verdict::kCacheFull;
  }
  seen_.insert(key);
  order_.emplace_back(now, std::move(key));
  return Verdict::kOk;
}

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string NewNonce() {
  std::array<uint8_t, kNonceSize> bytes{};
  platform::RandomBytes(bytes);
  return Hex(bytes);
}

SignedCommand Sign(std::string_view command, EnvelopeKey& key, std::string_view station_address) {
  SignedCommand signed_command;
  signed_command.nonce = NewNonce();
  signed_command.datagram =
      Seal(Direction::kCommand, command, key, station_address, UnixNow(), signed_command.nonce);
  return signed_command;
}

SignedCommand Sign(std::string_view command, const CommandKey& key,
                   std::string_view station_address) {
  EnvelopeKey envelope_key(key);
  return Sign(command, envelope_key, station_address);
}

Opened OpenReply(std::string_view datagram, EnvelopeKey& key, std::string_view station_address,
                 std::string_view nonce) {
  Opened opened = Open(datagram, Direction::kReply, key, station_address, UnixNow());
  if (opened.verdict == Verdict::kOk && !nonce.empty() && opened.nonce != nonce) {
    opened.verdict = Verdict::kOtherNonce;
  }
  return opened;
}

Opened OpenReply(std::string_view datagram, const CommandKey& key, std::string_view station_address,
                 std::string_view nonce) {
  EnvelopeKey envelope_key(key);
  return OpenReply(datagram, envelope_key, station_address, nonce);
}

CommandKey DeriveStationKey(const CommandKey& club_key, std::string_view address) {
  std::string message(kStationKeyLabel);
  message += '\n';
  message += address;
  return platform::HmacSha256(club_key, message);
}

bool IsWeakKey(const CommandKey& key) {
  for (uint8_t b : key) {
    if (b != key[0]) {
      return false;
    }
  }
  return true;
}

}  // namespace zalvo::protocol
