#include "console/core/envelope.h"

#include <algorithm>

namespace zalvo::console {

ReportGuard::Verdict ReportGuard::Admit(std::string_view mac, int64_t time, int64_t now) {
  if (time <= floor_) {
    return Verdict::kStale;
  }
  // A report older than the replay window can't pass the clock window again.
  std::erase_if(
      seen_, [&](const auto& entry) { return entry.first < now - protocol::kReplayWindowSeconds; });
  for (const auto& entry : seen_) {
    if (entry.second == mac) {
      return Verdict::kReplayed;
    }
  }
  if (seen_.size() >= capacity_) {
    auto oldest = std::min_element(seen_.begin(), seen_.end(),
                                   [](const auto& a, const auto& b) { return a.first < b.first; });
    floor_ = std::max(floor_, oldest->first);
    seen_.erase(oldest);
    if (time <= floor_) {
      return Verdict::kStale;
    }
  }
  seen_.emplace_back(time, std::string(mac));
  newest_ = std::max(newest_, time);
  return Verdict::kNew;
}

KeyedEnvelope::StationKey& KeyedEnvelope::KeyOf(std::string_view station) {
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

Sealed KeyedEnvelope::Wrap(std::string_view command, std::string_view station) {
  if (unkeyed_.count(std::string(station)) != 0) {
    return {std::string(command), ""};
  }
  protocol::SignedCommand sealed = protocol::Sign(command, KeyOf(station).key, station);
  return {std::move(sealed.datagram), std::move(sealed.nonce)};
}

Unsealed KeyedEnvelope::Open(std::string_view datagram, std::string_view station) {
  const bool unkeyed = unkeyed_.count(std::string(station)) != 0;
  auto known = stations_.find(std::string(station));
  // A sender without a sound datagram yet gets no entry: a flood from
  // spoofed addresses costs a derivation each, and no memory.
  std::optional<StationKey> fresh;
  if (known == stations_.end()) {
    fresh.emplace(protocol::KeyForStation(club_key_, club_keyed_, station));
  }
  StationKey& key = known != stations_.end() ? known->second : *fresh;
  protocol::Opened opened = protocol::OpenReply(datagram, key.key, station, {});
  if (opened.verdict != protocol::Verdict::kOk) {
    if (unkeyed) {
      return {Unsealed::Verdict::kTaken, std::string(datagram), "", false};
    }
    return {};
  }
  if (fresh) {
    if (stations_.size() >= kMostStations) {
      stations_.erase(stations_.begin());
    }
    known = stations_.emplace(std::string(station), std::move(*fresh)).first;
  }
  ReportGuard& guard = known->second.reports;
  switch (guard.Admit(opened.mac, opened.time, protocol::UnixNow())) {
    case ReportGuard::Verdict::kNew:
      return {Unsealed::Verdict::kTaken, std::string(opened.text), std::string(opened.nonce), true};
    case ReportGuard::Verdict::kStale:
      // Refused, but a burst of the station's own latest second shows it is
      // there; an older one may be a replay and shows nothing.
      if (opened.time == guard.newest()) {
        return {Unsealed::Verdict::kHeard, "", "", true};
      }
      return {};
    case ReportGuard::Verdict::kReplayed:
      return {};
  }
  return {};
}

void KeyedEnvelope::SetUnkeyed(std::string_view station, bool unkeyed) {
  if (unkeyed) {
    unkeyed_.emplace(station);
  } else {
    unkeyed_.erase(std::string(station));
  }
}

}  // namespace zalvo::console
