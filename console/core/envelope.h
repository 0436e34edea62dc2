// The seam where a club key signs what the console sends and checks what it
// receives. Without a key, datagrams pass through unchanged.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "protocol/envelope.h"
#include "protocol/key_file.h"

namespace zalvo::console {

// A command as it goes out: the datagram, and the nonce its replies carry
// (empty when it is not signed).
struct Sealed {
  std::string datagram;
  std::string nonce;
};

// A datagram as it came in.
struct Unsealed {
  enum class Verdict {
    kTaken,    // the station's text, to be read
    kHeard,    // signed by the station and not to be read again, but proof that it is alive
    kRefused,  // not the station's (a bad signature, a replay, not signed at all)
  };
  Verdict verdict = Verdict::kRefused;
  std::string text;
  std::string nonce;      // the reply's nonce; empty when not signed
  bool verified = false;  // signed with the station's key
};

class Envelope {
 public:
  virtual ~Envelope() = default;
  // The datagram that carries this command to the station at the address.
  virtual Sealed Wrap(std::string_view command, std::string_view station) = 0;
  // What a datagram from the address holds.
  virtual Unsealed Open(std::string_view datagram, std::string_view station) = 0;
  // Whether the console has the club key: its stations' datagrams are
  // verified, but for those marked unkeyed.
  virtual bool Keyed() const = 0;
  // A station still installed without a key (a room moving over): it is
  // sent plain commands and its plain datagrams are taken, unverified.
  virtual void SetUnkeyed(std::string_view station, bool unkeyed) = 0;
};

// No club key: the command is the datagram, and every datagram is taken.
class PlainEnvelope final : public Envelope {
 public:
  Sealed Wrap(std::string_view command, std::string_view) override {
    return {std::string(command), ""};
  }
  Unsealed Open(std::string_view datagram, std::string_view) override {
    return {Unsealed::Verdict::kTaken, std::string(datagram), "", false};
  }
  bool Keyed() const override { return false; }
  void SetUnkeyed(std::string_view, bool) override {}
};

// The signed reports of one station that the console has taken lately, so
// that none is taken twice. It holds at most a bound of them: when it is
// full the oldest goes, and the floor rises to that one's time, so that a
// report at or before the floor (which may be the one forgotten, replayed)
// is refused as stale. A station's burst beyond the bound within one second
// is refused that way too, but still proves the station alive.
class ReportGuard {
 public:
  enum class Verdict { kNew, kStale, kReplayed };
  explicit ReportGuard(size_t capacity) : capacity_(capacity) {}
  // A sound report's MAC and time (the station's clock, seconds), at `now`.
  Verdict Admit(std::string_view mac, int64_t time, int64_t now);
  int64_t floor() const { return floor_; }
  // The newest time taken (the station's clock).
  int64_t newest() const { return newest_; }
  size_t size() const { return seen_.size(); }

 private:
  size_t capacity_;
  std::vector<std::pair<int64_t, std::string>> seen_;
  int64_t floor_ = std::numeric_limits<int64_t>::min();
  int64_t newest_ = std::numeric_limits<int64_t>::min();
};

// The club's command key: commands go out in signed envelopes with the key
// of the station they are sent to (derived from the club key, or the club
// key itself for a station that still keeps it), and only replies and
// reports signed with the sender's key, within the clock window and not seen
// before, are taken. One thread at a time (the console's lock).
class KeyedEnvelope final : public Envelope {
 public:
  // The most stations whose keys are kept ready, and the most reports of one
  // station remembered within the replay window.
  static constexpr size_t kMostStations = 1024;
  static constexpr size_t kReportsPerStation = 64;

  explicit KeyedEnvelope(const protocol::CommandKey& club_key,
                         protocol::ClubKeyedStations club_keyed = {})
      : club_key_(club_key), club_keyed_(std::move(club_keyed)) {}

  Sealed Wrap(std::string_view command, std::string_view station) override;
  Unsealed Open(std::string_view datagram, std::string_view station) override;
  bool Keyed() const override { return true; }
  void SetUnkeyed(std::string_view station, bool unkeyed) override;

 private:
  struct StationKey {
    explicit StationKey(const protocol::CommandKey& station_key) : key(station_key) {}
    protocol::EnvelopeKey key;
    ReportGuard reports{kReportsPerStation};
  };
  StationKey& KeyOf(std::string_view station);

  protocol::CommandKey club_key_;
  protocol::ClubKeyedStations club_keyed_;
  std::unordered_map<std::string, StationKey> stations_;
  std::unordered_set<std::string> unkeyed_;
};

}  // namespace zalvo::console
