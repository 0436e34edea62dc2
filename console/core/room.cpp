#include "console/core/room.h"

#include <algorithm>
#include <stdexcept>

#include "console/core/wire.h"
#include "protocol/address.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "text/cp1251.h"

namespace zalvo::console {
namespace {

constexpr Millis kMinute = 60'000;

// Whole units rounded up, for either sign.
int64_t CeilDiv(int64_t value, int64_t unit) {
  int64_t q = value / unit;
  return (value % unit > 0) ? q + 1 : q;
}

}  // namespace

bool IsDottedIPv4(std::string_view address) {
  return protocol::ParseDottedAddress(address).has_value();
}

Room::Room(RoomOptions options) : options_(options) {}

void Room::AddStation(const StationConfig& config, bool configured) {
  if (!IsDottedIPv4(config.address)) {
    throw Refused(RefusalKind::kBadRequest,
                  "'" + config.address + "' is not a dotted IPv4 address");
  }
  if (config.name.empty()) {
    throw Refused(RefusalKind::kBadRequest, "the station at " + config.address + " has no name");
  }
  if (index_.count(config.address) != 0) {
    throw Refused(RefusalKind::kConflict,
                  "the address " + config.address + " is in the room twice");
  }
  for (const auto& station : stations_) {
    if (station.name == config.name) {
      throw Refused(RefusalKind::kConflict, "the name '" + config.name + "' is in the room twice");
    }
  }
  Station station;
  station.name = config.name;
  station.address = config.address;
  station.unkeyed = config.unkeyed;
  station.column = std::max(0, config.column);
  station.row = std::max(0, config.row);
  station.configured = configured;
  index_.emplace(config.address, stations_.size());
  stations_.push_back(std::move(station));
  Touch(stations_.back());
}

const Station* Room::Find(std::string_view address) const {
  auto it = index_.find(std::string(address));
  return it == index_.end() ? nullptr : &stations_[it->second];
}

Station* Room::FindMutable(std::string_view address) {
  auto it = index_.find(std::string(address));
  return it == index_.end() ? nullptr : &stations_[it->second];
}

Room::Heard Room::OnDatagram(std::string_view from_ip, std::string_view text, Millis now,
                             const Seal& seal) {
  ++counters_.datagrams;
  auto state = protocol::ParseSessionState(text);
  auto report =
      state ? std::optional<protocol::Report>(protocol::Report{}) : protocol::ParseReport(text);
  Station* station = FindMutable(from_ip);
  if (!report) {
    if (station) {
      ++counters_.garbage;
      return Heard::kGarbage;
    }
    ++counters_.unknown_sender;
    return Heard::kUnknownSender;
  }
  Heard heard = Heard::kReport;
  if (!station) {
    if (options_.hold_unknown && IsDottedIPv4(from_ip)) {
      DropOldestUnknown();
    }
    if (stations_.size() >= options_.max_stations || !IsDottedIPv4(from_ip)) {
      ++counters_.over_limit;
      return Heard::kOverLimit;
    }
    Station added;
    added.unknown = options_.hold_unknown;
    added.name = std::string(from_ip);
    added.address = std::string(from_ip);
    // A name taken by a configured station keeps the address unique.
    for (const auto& other : stations_) {
      if (other.name == added.name) {
        added.name += " (" + std::string(from_ip) + ")";
      }
    }
    bool added_unknown = added.unknown;
    index_.emplace(added.address, stations_.size());
    stations_.push_back(std::move(added));
    station = &stations_.back();
    ++counters_.stations_added;
    Touch(*station);
    heard = added_unknown ? Heard::kUnknown : Heard::kAdded;
  }
  ++counters_.reports;
  if (!Online(*station, now)) {
    Touch(*station);
  }
  station->last_heard = now;
  ++station->reports;
  if (state) {
    if (!station->state || station->state->running != state->running ||
        station->state_support != StateSupport::kYes) {
      Touch(*station);
    }
    station->state = StationState{state->running, state->remaining_seconds, now};
    station->state_support = StateSupport::kYes;
    station->state_answered = true;
    return heard;
  }
  switch (report->kind) {
    case protocol::Report::Kind::kPingReply: {
      // A "PING" that answers an "ACTION STATE" with no "STATE" before it:
      // signed, by its nonce; else soon after one sent alone.
      bool unanswered =
          !station->state_answered &&
          (seal.verified
               ? !station->state_nonce.empty() && seal.nonce == station->state_nonce
               : station->state_asked >= 0 && now - station->state_asked <= options_.answer_ms);
      if (unanswered) {
        station->state_asked = -1;
        station->state_nonce.clear();
        if (station->state_support != StateSupport::kNo) {
          station->state_support = StateSupport::kNo;
          Touch(*station);
        }
      }
      break;
    }
    case protocol::Report::Kind::kForeground:
    case protocol::Report::Kind::kNoForeground: {
      std::string caption = report->kind == protocol::Report::Kind::kForeground
                                ? text::Cp1251ToUtf8(report->caption)
                                : std::string();
      if (station->foreground != caption) {
        station->foreground = std::move(caption);
        Touch(*station);
      }
      break;
    }
    case protocol::Report::Kind::kFreeDisk:
      if (station->free_mb != report->free_mb) {
        station->free_mb = report->free_mb;
        Touch(*station);
      }
      break;
    case protocol::Report::Kind::kWindowList:
      station->windows.clear();
      for (const auto& caption : report->windows) {
        station->windows.push_back(text::Cp1251ToUtf8(caption));
      }
      station->windows_at = now;
      Touch(*station);
      break;
  }
  return heard;
}

void Room::OnHeard(std::string_view from_ip, Millis now) {
  Station* station = FindMutable(from_ip);
  if (!station) {
    return;
  }
  if (!Online(*station, now)) {
    Touch(*station);
  }
  station->last_heard = std::max(station->last_heard, now);
  ++station->reports;  // it answers
}

void Room::OnFailedReceive() {
  ++counters_.datagrams;
  ++counters_.failed_receives;
}

void Room::OnRefused() {
  ++counters_.datagrams;
  ++counters_.refused;
}

bool Room::Online(const Station& station, Millis now) const {
  return station.last_heard >= 0 && now - station.last_heard <= 2 * options_.keepalive_ms;
}

const char* ConnectionName(Connection connection) {
  switch (connection) {
    case Connection::kOnline:
      return "online";
    case Connection::kOffline:
      return "offline";
    case Connection::kStarting:
      return "starting";
    case Connection::kLost:
      return "lost";
  }
  return "offline";
}

Connection ConnectionOf(const Station& station, Millis now, const RoomOptions& options,
                        Millis listening_since) {
  Millis silent = now - std::max(station.last_heard, listening_since);
  bool heard_lately = station.last_heard >= 0 && now - station.last_heard <= options.lost_ms;
  bool booting = station.booting_since >= 0 && now - station.booting_since < options.start_grace_ms;
  if (!heard_lately && booting && silent > options.lost_ms) {
    return Connection::kStarting;
  }
  if (station.session) {
    if (heard_lately) {
      return Connection::kOnline;
    }
    return silent > options.lost_ms ? Connection::kLost : Connection::kOffline;
  }
  bool online = station.last_heard >= 0 && now - station.last_heard <= 2 * options.keepalive_ms;
  return online ? Connection::kOnline : Connection::kOffline;
}

bool Room::MarkBooting(std::string_view address, Millis now, bool powered_on) {
  Station* station = FindMutable(address);
  if (!station) {
    throw Refused(RefusalKind::kNotFound, "no station at " + std::string(address));
  }
  // A restart ordered to a station that was not there to hear it explains
  // none of its silence.
  bool heard = station->last_heard >= 0 && now - station->last_heard <= options_.lost_ms;
  if (!powered_on && !heard) {
    return false;
  }
  station->booting_since = now;
  return true;
}

bool Room::Booting(const Station& station, Millis now) const {
  return station.booting_since >= 0 && now - station.booting_since < options_.start_grace_ms;
}

std::vector<ConnectionChange> Room::Watch(Millis now) {
  std::vector<ConnectionChange> changes;
  for (auto& station : stations_) {
    Connection connection = ConnectionAt(station, now);
    if (connection != station.connection) {
      station.connection = connection;
      Touch(station);  // the page's update carries the station
    }
    bool flagged = station.lost_since >= 0;
    if (connection == Connection::kLost && !flagged) {
      station.lost_since = now;
      changes.push_back({ConnectionChange::Kind::kLost, station.address,
                         now - std::max(station.last_heard, listening_since_)});
    } else if (flagged && !station.session) {
      // The session ended while the station was silent: its end is on record.
      station.lost_since = -1;
    } else if (flagged && connection == Connection::kOnline) {
      changes.push_back({ConnectionChange::Kind::kBack, station.address, now - station.lost_since});
      station.lost_since = -1;
    }
  }
  return changes;
}

void Room::SetSession(std::string_view address, std::optional<RentalSession> session, Millis now) {
  Station* station = FindMutable(address);
  if (!station) {
    throw Refused(RefusalKind::kNotFound, "no station at " + std::string(address));
  }
  if (session && station->ending && station->ending->session_id != session->record_id) {
    station->ending.reset();
  }
  station->session = std::move(session);
  station->session_changed = now;
  station->mismatch.reset();
  Touch(*station);
}

bool Room::Change(std::string_view address, const std::function<void(Station&)>& change) {
  Station* station = FindMutable(address);
  if (!station) {
    return false;
  }
  change(*station);
  Touch(*station);
  return true;
}

bool Room::Note(std::string_view address, const std::function<void(Station&)>& note) {
  Station* station = FindMutable(address);
  if (!station) {
    return false;
  }
  note(*station);
  return true;
}

bool Room::Adopt(std::string_view address) {
  Station* station = FindMutable(address);
  if (!station || !station->unknown) {
    return false;
  }
  station->unknown = false;
  Touch(*station);
  return true;
}

bool Room::Remove(std::string_view address) {
  auto it = index_.find(std::string(address));
  if (it == index_.end()) {
    return false;
  }
  stations_.erase(stations_.begin() + static_cast<std::ptrdiff_t>(it->second));
  index_.clear();
  for (size_t i = 0; i < stations_.size(); ++i) {
    index_.emplace(stations_[i].address, i);
  }
  ++version_;
  if (removals_.size() == kRemovalMemory) {
    removals_forgotten_ = removals_.front().first;
    removals_.pop_front();
  }
  removals_.emplace_back(version_, std::string(address));
  return true;
}

void Room::Touch(Station& station) {
  station.changed = ++version_;
}

void Room::MarkOffline(Millis now) {
  // A station heard at T is online until T + 2 keep-alives and offline from
  // the millisecond after: those whose moment lies in (the last call, now].
  for (auto& station : stations_) {
    Millis offline_at = station.last_heard + 2 * options_.keepalive_ms + 1;
    if (station.last_heard >= 0 && offline_at > offline_checked_ && offline_at <= now) {
      Touch(station);
    }
  }
  offline_checked_ = std::max(offline_checked_, now);
}

std::optional<RoomChanges> Room::ChangesSince(uint64_t after) const {
  if (after == 0 || after > version_ || after < removals_forgotten_) {
    return std::nullopt;
  }
  RoomChanges changes;
  for (const auto& station : stations_) {
    if (station.changed > after) {
      changes.stations.push_back(&station);
    }
  }
  // Removed and back since: the station itself is among the changed.
  auto it = std::upper_bound(removals_.begin(), removals_.end(), after,
                             [](uint64_t version, const std::pair<uint64_t, std::string>& r) {
                               return version < r.first;
                             });
  for (; it != removals_.end(); ++it) {
    if (index_.count(it->second) == 0 && std::find(changes.removed.begin(), changes.removed.end(),
                                                   it->second) == changes.removed.end()) {
      changes.removed.push_back(it->second);
    }
  }
  return changes;
}

void Room::DropOldestUnknown() {
  size_t unknown = 0;
  const Station* oldest = nullptr;
  for (const auto& station : stations_) {
    if (station.unknown) {
      ++unknown;
      if (!oldest || station.last_heard < oldest->last_heard) {
        oldest = &station;
      }
    }
  }
  if (oldest && unknown >= options_.max_unknown) {
    Remove(std::string(oldest->address));
  }
}

int64_t RemainingSeconds(const RentalSession& session, Millis now) {
  return CeilDiv(session.ends - now, 1000);
}

Occupancy OccupancyOf(const Station& station, Millis now) {
  if (!station.session) {
    return Occupancy::kFree;
  }
  if (station.ending) {
    return Occupancy::kEnding;
  }
  return station.session->ends > now ? Occupancy::kRented : Occupancy::kOverrun;
}

std::string MismatchText(const Mismatch& mismatch) {
  if (mismatch.kind == Mismatch::Kind::kRunning) {
    int64_t minutes = (static_cast<int64_t>(mismatch.seconds_left) + 59) / 60;
    return "the station is in a session the record doesn't have (" + std::to_string(minutes) +
           " min left there): end it, or record it by starting it here";
  }
  return "the station has no session while the record has one: end it here, or add minutes to "
         "give the station its time again";
}

bool EndHolds(const Station& station, const std::optional<protocol::SessionState>& state, bool ping,
              const Seal& seal) {
  if (!station.ending || station.ending->sent < 0) {
    return false;
  }
  if (state) {
    return !state->running;
  }
  if (!ping) {
    return false;
  }
  if (seal.verified) {
    const auto& nonces = station.ending->nonces;
    return !seal.nonce.empty() &&
           std::find(nonces.begin(), nonces.end(), seal.nonce) != nonces.end();
  }
  return station.state_support == StateSupport::kNo;
}

std::optional<Mismatch> MismatchOf(const Station& station, Millis settle_ms) {
  if (!station.state || station.ending || station.unknown ||
      (station.session_changed >= 0 && station.state->at - station.session_changed < settle_ms)) {
    return std::nullopt;
  }
  std::optional<Mismatch::Kind> kind;
  if (station.session && !station.state->running) {
    kind = Mismatch::Kind::kFree;
  } else if (!station.session && station.state->running) {
    kind = Mismatch::Kind::kRunning;
  }
  if (!kind) {
    return std::nullopt;
  }
  Mismatch mismatch{*kind, station.state->at, station.state->seconds_left};
  if (station.mismatch && station.mismatch->kind == *kind) {
    mismatch.since = station.mismatch->since;
  }
  return mismatch;
}

int32_t StandsToEnd(const Station& station, Millis now) {
  int32_t stands = station.session ? StandsToEndNow(station.session, now) : 1;
  if (station.state && station.state->running) {
    stands = std::max(stands, wire::StandsToEnd(int64_t{station.state->seconds_left} + 10));
  }
  if (!station.session && !(station.state && station.state->running)) {
    stands = StandsToEndNow(std::nullopt, now);
  }
  return stands;
}

RentalSession NewSession(int32_t minutes, Millis now, std::string started_by) {
  RentalSession session;
  session.started = now;
  session.minutes = minutes;
  session.ends = now + minutes * kMinute;
  session.started_by = std::move(started_by);
  return session;
}

Renewal AddMinutes(const RentalSession& session, int32_t minutes, Millis now) {
  Renewal renewal;
  renewal.session = session;
  renewal.session.minutes += minutes;
  int64_t total = CeilDiv(session.ends + minutes * kMinute - now, kMinute);
  total = std::clamp<int64_t>(total, -kMaxSessionMinutes, kMaxSessionMinutes);
  renewal.sit_minutes = static_cast<int32_t>(total);
  renewal.session.ends = now + total * kMinute;
  return renewal;
}

int32_t StandsToEndNow(const std::optional<RentalSession>& session, Millis now) {
  if (!session) {
    return wire::StandsToEnd(INT32_MAX);
  }
  // Ten seconds, and one second in a hundred since the session started, for
  // the ticks' own work and the way across the network.
  int64_t elapsed = std::max<int64_t>(0, now - session->started) / 1000;
  return wire::StandsToEnd(RemainingSeconds(*session, now) + 10 + elapsed / 100);
}

}  // namespace zalvo::console
