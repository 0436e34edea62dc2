// The room as the console sees it: the stations with what they last
// reported, whether they are online, and the sessions the console granted.
// The protocol reports no remaining time, so the session clock is kept here.
// Portable; not thread-safe (the console serialises every call).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "console/core/refusal.h"
#include "protocol/replies.h"

namespace zalvo::console {

// Milliseconds since the Unix epoch.
using Millis = int64_t;

// The longest session the console grants at once: a week.
inline constexpr int32_t kMaxSessionMinutes = 7 * 24 * 60;

struct StationConfig {
  std::string name;     // UTF-8
  std::string address;  // dotted IPv4
  int column = 0;       // place in the room, from 1; 0 = wherever there is room
  int row = 0;
  std::string mac = {};  // for power-on, "00:1a:2b:3c:4d:5e"; empty: not given
  // Still installed without a command key: sent plain commands, and its
  // plain datagrams are taken (unverified).
  bool unkeyed = false;
};

struct RentalSession {
  int64_t record_id = 0;  // the session's row in the store
  Millis started = 0;
  Millis ends = 0;      // when the granted time runs out
  int32_t minutes = 0;  // granted in total
  std::string started_by;
  // What its sales cost so far, voids taken off, in minor units of the
  // till's currency; nullopt: not sold by tariff.
  std::optional<int64_t> sold;
  // Sold to a member: paid from the member's balance, and ended at its time
  // (never sold minutes over it afterwards).
  std::optional<int64_t> member_id = std::nullopt;
};

enum class Occupancy { kFree, kRented, kOverrun, kEnding };

// What the station last said of its session ("ACTION STATE").
struct StationState {
  bool running = false;
  int32_t seconds_left = 0;
  Millis at = 0;  // when the console heard it
};

// Whether the station answers "ACTION STATE": a station of an older version
// answers it with "PING" alone.
enum class StateSupport { kUnknown, kYes, kNo };

// An end the console asked of the station that the station has not
// confirmed yet. It is sent again whenever the station is heard, until the
// station says its session is over.
struct PendingEnd {
  int64_t session_id = 0;  // the record's session it ends; 0: one the record doesn't have
  Millis asked = 0;
  std::string by = {};
  // An owner closed the session's record without the station's word.
  bool closed = false;
  // The session went on at this station (a move): the record has it there,
  // and only its end here is waited for.
  std::string moved_to = {};
  Millis sent = -1;  // last sent
  // The nonces of the last "ACTION STAND" of each sending, newest last
  // (signed: the reply to one proves the end).
  std::vector<std::string> nonces = {};
};

// The station and the record disagree; what to do is the operator's.
struct Mismatch {
  enum class Kind {
    kRunning,  // in a session the record doesn't have
    kFree,     // free while the record has a session
  };
  Kind kind = Kind::kRunning;
  Millis since = 0;
  int32_t seconds_left = 0;  // kRunning: the station's
};
// What the page shows of it, with what to do.
std::string MismatchText(const Mismatch& mismatch);

// A start (or added time) on a station that is starting, held until the
// station is heard.
struct QueuedAction {
  std::string action;
  int32_t minutes = 0;
  std::string by;
  Millis queued = 0;
  Millis until = 0;  // dropped when not heard by then
};

// What the counter can trust of a station's connection. kOnline: heard
// lately; kOffline: a free station not heard within two keep-alive periods
// (or a rented one not heard since the console started, for less than the
// loss bound); kStarting: not heard lately, but within the grace after the
// console restarted it or started a session on it (the log-on hand-off
// restarts Windows); kLost: a rented station not heard for the loss bound,
// outside that grace: its session's time is not certain.
enum class Connection { kOnline, kOffline, kStarting, kLost };
const char* ConnectionName(Connection connection);

struct Station {
  std::string name;  // UTF-8
  std::string address;
  int column = 0;
  int row = 0;
  // Reported from an address the room does not hold: shown, but not
  // recorded and not sent commands until an owner adopts it.
  bool unknown = false;
  Millis last_heard = -1;  // the last report, -1 never
  uint64_t reports = 0;    // reports heard since the console started
  bool unkeyed = false;    // marked so (see StationConfig)
  // The station's own word on its session, and whether it gives one.
  std::optional<StationState> state;
  StateSupport state_support = StateSupport::kUnknown;
  Millis state_asked = -1;      // the last "ACTION STATE" sent alone
  std::string state_nonce;      // the last one's nonce (signed)
  bool state_answered = false;  // a "STATE" came since it was sent
  // When the session the console keeps of it last changed; -1 not since
  // the start.
  Millis session_changed = -1;
  std::optional<PendingEnd> ending;
  std::optional<Mismatch> mismatch;
  std::optional<QueuedAction> queued;
  // What the console last did of its own accord that the page tells.
  std::string notice;
  // When the console last restarted it or started a session on it; -1 never.
  Millis booting_since = -1;
  // As the console's watch last saw it, and since when the loss of a rented
  // station's connection is flagged (until it is heard again or the session
  // ends); -1 not flagged.
  Connection connection = Connection::kOffline;
  Millis lost_since = -1;
  // The foreground program as last reported, UTF-8; empty when the station
  // reported a window without caption; nullopt before any report of it.
  std::optional<std::string> foreground;
  std::optional<int64_t> free_mb;
  std::vector<std::string> windows;  // the last window list, UTF-8
  Millis windows_at = -1;
  std::optional<RentalSession> session;
  // The room's version at the station's last change the page shows.
  uint64_t changed = 0;
};

struct RoomCounters {
  uint64_t datagrams = 0;        // every receive, good or bad
  uint64_t reports = 0;          // understood, from a station of the room
  uint64_t stations_added = 0;   // unknown addresses that reported and were added
                                 // (with a room file: shown as unknown)
  uint64_t unknown_sender = 0;   // not understood, from an address not in the room
  uint64_t garbage = 0;          // not understood, from a station of the room
  uint64_t failed_receives = 0;  // too long or failed
  uint64_t refused = 0;          // refused by the envelope (a bad signature, a replay)
  uint64_t over_limit = 0;       // would have added a station past the limit
};

// What changed in the room after a version: the stations changed since
// (in the room's order) and the addresses taken out of it since.
struct RoomChanges {
  std::vector<const Station*> stations;
  std::vector<std::string> removed;
};

struct RoomOptions {
  Millis keepalive_ms = 99'000;  // a station's keep-alive period
  size_t max_stations = 1024;
  // With a room file: a station that reports from another address is
  // shown as unknown until an owner adopts it, and of those only the most
  // recently heard are kept.
  bool hold_unknown = false;
  size_t max_unknown = 64;
  // A rented station not heard this long is lost (the console asks rented
  // stations for a report every few seconds) ...
  Millis lost_ms = 15'000;
  // ... unless the console restarted it or started a session on it within
  // this grace: it is then starting.
  Millis start_grace_ms = 240'000;
  // A station answers a command within this: a "PING" this soon after an
  // "ACTION STATE" with no "STATE" before it is a station without it.
  Millis answer_ms = 3'000;
};

// What the envelope said of a datagram: the reply's nonce, and whether it
// was signed with the station's key.
struct Seal {
  std::string_view nonce;
  bool verified = false;
};

// A station's connection at `now` (see Connection); the silence of a station
// is counted from `listening_since` at the earliest, when the console began
// to hear reports.
Connection ConnectionOf(const Station& station, Millis now, const RoomOptions& options,
                        Millis listening_since);

// A flagged change of a rented station's connection, for the log and the
// record.
struct ConnectionChange {
  enum class Kind { kLost, kBack };
  Kind kind = Kind::kLost;
  std::string address;
  // kLost: silent this long (since the last report, or the console's
  // start); kBack: flagged lost this long.
  Millis for_ms = 0;
};

class Room {
 public:
  explicit Room(RoomOptions options = {});

  // A station of the room. Throws Refused for an address that is not
  // dotted IPv4 or a name or address that is already in the room.
  void AddStation(const StationConfig& config);
  // The room's stations become these (the record's), in their order: new
  // ones join, those changed take their name and place, unknown ones among
  // them are adopted, and those of the room not among them leave it; what
  // each reported stays, and unknown ones not among them stay unknown.
  void SetStations(const std::vector<StationConfig>& stations);

  const std::vector<Station>& stations() const { return stations_; }
  const Station* Find(std::string_view address) const;

  // kAdded: a new station, to be recorded; kUnknown: a new station held as
  // unknown.
  enum class Heard { kReport, kAdded, kUnknown, kGarbage, kUnknownSender, kOverLimit };
  // A datagram (Windows-1251 text) from a station's address.
  Heard OnDatagram(std::string_view from_ip, std::string_view text, Millis now,
                   const Seal& seal = {});
  // A signed datagram that is not read again but shows the station is
  // there, as an answer does (see ReportGuard).
  void OnHeard(std::string_view from_ip, Millis now);
  void OnFailedReceive();
  void OnRefused();

  // A report came within two keep-alive periods.
  bool Online(const Station& station, Millis now) const;

  // Silence is counted from here at the earliest (the console's start).
  void StartListening(Millis now) { listening_since_ = now; }
  Connection ConnectionAt(const Station& station, Millis now) const {
    return ConnectionOf(station, now, options_, listening_since_);
  }
  // The console restarted the station or started a session on it: it may
  // restart Windows within the grace, when it was there to hear it (heard
  // within the loss bound before), or when it is being powered on.
  // Returns whether it is now starting.
  bool MarkBooting(std::string_view address, Millis now, bool powered_on = false);
  bool Booting(const Station& station, Millis now) const;
  // Notes each station's connection at `now` (a change moves the version)
  // and returns the losses and returns of rented stations to flag: a loss
  // once, and its end once when the station is heard again.
  std::vector<ConnectionChange> Watch(Millis now);

  // The console's session of the station; `now` is when it changed (-1:
  // as restored from the record). A new session drops a pending end of
  // another, and any mismatch goes until the station is asked again.
  void SetSession(std::string_view address, std::optional<RentalSession> session, Millis now = -1);
  // Changes a station as the page shows it (the version moves); false when
  // there is none at the address. Note changes what the page does not show.
  bool Change(std::string_view address, const std::function<void(Station&)>& change);
  bool Note(std::string_view address, const std::function<void(Station&)>& note);

  // Takes a station out of the room; false when there is none.
  bool Remove(std::string_view address);

  // Stations that stopped reporting since the last call (or since they were
  // last heard) are changed: going offline is the clock's doing, but the page
  // shows it like any other change. Called every few hundred milliseconds.
  void MarkOffline(Millis now);

  // Grows with every change the page shows (with the clock where
  // MarkOffline or Watch notes a station's change).
  uint64_t version() const { return version_; }
  // The changes after `after`; nullopt when they can't be told apart from
  // the whole room (0, a version this room never had, or one older than the
  // removals it still remembers): the whole room is the answer then.
  std::optional<RoomChanges> ChangesSince(uint64_t after) const;
  // How many removals the room remembers for ChangesSince.
  static constexpr size_t kRemovalMemory = 256;
  const RoomCounters& counters() const { return counters_; }
  const RoomOptions& options() const { return options_; }

 private:
  Station* FindMutable(std::string_view address);
  // A change of the station the page shows: a new version, which is the
  // station's.
  void Touch(Station& station);
  // Makes room for a new unknown station by forgetting the one heard least
  // recently, when the unknown ones are at their bound.
  void DropOldestUnknown();
  // A new version that notes the address's removal, and the index anew.
  void Removed(const std::string& address);

  RoomOptions options_;
  std::vector<Station> stations_;
  std::unordered_map<std::string, size_t> index_;
  RoomCounters counters_;
  uint64_t version_ = 1;
  Millis offline_checked_ = -1;  // MarkOffline's last `now`
  // The removals' versions and addresses, oldest first, at most
  // kRemovalMemory; ChangesSince can answer after versions from
  // removals_forgotten_ on.
  std::deque<std::pair<uint64_t, std::string>> removals_;
  uint64_t removals_forgotten_ = 0;
  Millis listening_since_ = 0;
};

// The session arithmetic. The remaining seconds are rounded up, so a session
// shows 0 only once its time has run out.
int64_t RemainingSeconds(const RentalSession& session, Millis now);
Occupancy OccupancyOf(const Station& station, Millis now);

// Whether what the station just said proves that its pending end holds: its
// state says no session; signed, the reply to one of the end's last
// "ACTION STAND"; or, from a station without "ACTION STATE" that is not
// verified, a "PING" after the end was sent (all such a station can say).
bool EndHolds(const Station& station, const std::optional<protocol::SessionState>& state, bool ping,
              const Seal& seal);
// What the station's last state says against the console's session of it,
// once the session has been still for `settle_ms` (a state asked before a
// change may answer after it); nullopt when they agree, or while it ends.
std::optional<Mismatch> MismatchOf(const Station& station, Millis settle_ms);
// How many "ACTION STAND" end the station's session: enough for the
// console's session and for what the station last said it has.
int32_t StandsToEnd(const Station& station, Millis now);

// A new session of the given minutes from now.
RentalSession NewSession(int32_t minutes, Millis now, std::string started_by);

// "Add minutes": the session's end moves by the minutes, and the station is
// sent "ACTION SIT" with the new total from now, in whole minutes rounded
// up (so the station never has less than the console shows); the console's
// end then follows the station's.
struct Renewal {
  int32_t sit_minutes = 0;
  RentalSession session;
};
Renewal AddMinutes(const RentalSession& session, int32_t minutes, Millis now);

// "End now": how many "ACTION STAND" end the station's session. The station
// counts its ticks, which run slightly slower than the clock, so a margin is
// added to the remaining time; without a session the console knows of, the
// most that can be needed.
int32_t StandsToEndNow(const std::optional<RentalSession>& session, Millis now);

// Whether the text is a dotted IPv4 address without leading zeros, as the
// stations' datagrams arrive.
bool IsDottedIPv4(std::string_view address);

// The room from a text file: one station per line, "name address [column
// row]", fields separated by blanks or tabs; a name with blanks is written in
// double quotes. Blank lines and lines starting with "#" are skipped. Throws
// Refused naming the line that is wrong.
std::vector<StationConfig> ParseRoomFile(const std::string& text);

}  // namespace zalvo::console
