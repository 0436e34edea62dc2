// The seam where a club key signs what the console sends and checks what it
// receives. Without a key, datagrams pass through unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/envelope.h"
#include "protocol/key_file.h"

namespace zalvo::console {

class Envelope {
 public:
  virtual ~Envelope() = default;
  // The datagram that carries this command to the station at the address.
  virtual std::string Wrap(std::string_view command, std::string_view station) = 0;
  // The station's text inside a datagram from the address; nullopt when the
  // datagram is refused (for instance, a signature that does not check).
  virtual std::optional<std::string> Open(std::string_view datagram, std::string_view station) = 0;
};

// No club key: the command is the datagram, and every datagram is accepted.
class PlainEnvelope final : public Envelope {
 public:
  std::string Wrap(std::string_view command, std::string_view) override {
    return std::string(command);
  }
  std::optional<std::string> Open(std::string_view datagram, std::string_view) override {
    return std::string(datagram);
  }
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

  std::string Wrap(std::string_view command, std::string_view station) override {
    return protocol::Sign(command, KeyOf(station).key, station).datagram;
  }

  std::optional<std::string> Open(std::string_view datagram, std::string_view station) override {
    auto known = stations_.find(std::string(station));
    // A sender without a sound datagram yet gets no entry: a flood from
    // spoofed addresses costs a derivation each, and no memory.
    std::optional<StationKey> unknown;
    if (known == stations_.end()) {
      unknown.emplace(protocol::KeyForStation(club_key_, club_keyed_, station));
    }
    StationKey& key = known != stations_.end() ? known->second : *unknown;
    protocol::Opened opened = protocol::OpenReply(datagram, key.key, station, {});
    if (opened.verdict != protocol::Verdict::kOk) {
      return std::nullopt;
    }
    std::string text(opened.text);
    if (unknown) {
      if (stations_.size() >= kMostStations) {
        stations_.erase(stations_.begin());
      }
      known = stations_.emplace(std::string(station), std::move(*unknown)).first;
    }
    if (known->second.reports.Admit(opened.mac, protocol::UnixNow()) != protocol::Verdict::kOk) {
      return std::nullopt;
    }
    return text;
  }

 private:
  struct StationKey {
    explicit StationKey(const protocol::CommandKey& station_key) : key(station_key) {}
    protocol::EnvelopeKey key;
    // The MACs of the station's sound datagrams of the last 120 s: a
    // replayed report is refused.
    protocol::ReplayCache reports{kReportsPerStation};
  };
  StationKey& KeyOf(std::string_view station) {
    auto found = stations_.find(std::string(station));
    if (found == stations_.end()) {
      if (stations_.size() >= kMostStations) {
        stations_.erase(stations_.begin());
      }
      found = stations_
                  .emplace(std::string(station),
                           StationKey(protocol::KeyForStation(club_key_, club_keyed_, station)))
                  .first;
    }
    return found->second;
  }

  protocol::CommandKey club_key_;
  protocol::ClubKeyedStations club_keyed_;
  std::unordered_map<std::string, StationKey> stations_;
};

}  // namespace zalvo::console
