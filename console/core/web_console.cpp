#include "console/core/web_console.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>

#include "console/core/session_export.h"
#include "console/core/wire.h"
#include "platform/error.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::console {
namespace {

// How often stations that stopped reporting are marked offline.
constexpr Millis kOfflineCheckMs = 200;

Millis WallClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

WebConsole::WebConsole(Room room, Record& record, Envelope& envelope,
                       platform::DatagramSocket& socket, WebConsoleOptions options)
    : room_(std::move(room)),
      record_(record),
      envelope_(envelope),
      socket_(socket),
      options_(std::move(options)) {
  if (!options_.clock) {
    options_.clock = WallClock;
  }
}

WebConsole::~WebConsole() {
  Stop();
}

Millis WebConsole::Now() {
  return options_.clock();
}

void WebConsole::Log(const std::string& line) {
  if (options_.log) {
    // Captions and names in the line can't start a line of their own.
    options_.log(text::EscapeControls(line));
  }
}

void WebConsole::RestoreSessions() {
  std::lock_guard lock(mutex_);
  till_ = record_.Till();
  macs_ = record_.StationMacs();
  for (const auto& record : record_.OpenSessions()) {
    if (!room_.Find(record.address)) {
      Log("session " + std::to_string(record.id) + " of " + record.station + " (" + record.address +
          ") stays open in the record: the station is not in the room");
      continue;
    }
    RentalSession session;
    session.record_id = record.id;
    session.started = record.started;
    session.ends = record.ends;
    session.minutes = record.minutes;
    session.started_by = record.started_by;
    session.sold = PriceOfSales(record_.SalesOf(record.id));
    session.member_id = record.member_id;
    room_.SetSession(record.address, session);
  }
}

void WebConsole::Start() {
  socket_.Bind(options_.udp_address, options_.udp_port);
  try {
    socket_.AllowBroadcast();
  } catch (const platform::PlatformError& e) {
    Log(std::string("power-on can't broadcast: ") + e.what());
  }
  stopping_ = false;
  {
    std::lock_guard lock(mutex_);
    room_.StartListening(Now());
  }
  receiver_ = std::thread([this] { ReceiveLoop(); });
  watcher_ = std::thread([this] { WatchLoop(); });
  std::vector<std::string> addresses;
  {
    std::lock_guard lock(mutex_);
    for (const auto& station : room_.stations()) {
      addresses.push_back(station.address);
    }
  }
  for (const auto& address : addresses) {
    try {
      Send(address, protocol::CommandText(protocol::kInfo));
    } catch (const platform::PlatformError& e) {
      Log("cannot ask " + address + " for its report: " + e.what());
    }
  }
}

void WebConsole::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  watch_wake_.notify_all();
  heard_.notify_all();
  socket_.Shutdown();
  if (receiver_.joinable()) {
    receiver_.join();
  }
  if (watcher_.joinable()) {
    watcher_.join();
  }
}

void WebConsole::SetChangeListener(std::function<void()> listener) {
  change_listener_ = std::move(listener);
}

void WebConsole::Changed() {
  if (change_listener_) {
    change_listener_();
  }
}

void WebConsole::ReceiveLoop() {
  Millis offline_marked = 0;
  while (!stopping_) {
    std::optional<platform::ReceivedDatagram> datagram;
    try {
      datagram = socket_.Receive(kOfflineCheckMs);
    } catch (const platform::PlatformError& e) {
      Log(std::string("receive failed: ") + e.what());
      continue;
    }
    std::lock_guard lock(mutex_);
    uint64_t before = room_.version();
    Millis now = Now();
    if (now - offline_marked >= kOfflineCheckMs || now < offline_marked) {
      room_.MarkOffline(now);
      offline_marked = now;
    }
    if (datagram) {
      Receive(*datagram, now);
    }
    if (room_.version() != before) {
      Changed();
    }
  }
}

void WebConsole::Receive(const platform::ReceivedDatagram& datagram, Millis now) {
  if (datagram.byte_count < 0) {
    room_.OnFailedReceive();
    return;
  }
  auto text = envelope_.Open(datagram.bytes, datagram.from_ip);
  if (!text) {
    room_.OnRefused();
    return;
  }
  Room::Heard heard = room_.OnDatagram(datagram.from_ip, *text, now);
  if (heard == Room::Heard::kReport) {
    heard_.notify_all();  // a probe may wait for it
  }
  if (heard == Room::Heard::kAdded) {
    const Station* station = room_.Find(datagram.from_ip);
    try {
      record_.AddStation(station->address, station->name, now);
    } catch (const RecordError& e) {
      Log(std::string("the new station is not in the record: ") + e.what());
    }
    Log("station " + station->address + " reported and was added to the room");
  }
}

void WebConsole::WatchLoop() {
  using std::chrono::steady_clock;
  const Millis tick_ms =
      std::clamp<Millis>(std::min(options_.probe_every_ms, room_.options().lost_ms) / 4, 20, 250);
  auto next_probe = steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Millis now = Now();
    uint64_t before = room_.version();
    for (const auto& change : room_.Watch(now)) {
      const Station* station = room_.Find(change.address);
      std::string who = station->name + " (" + station->address + ")";
      std::string session = station->session
                                ? "session " + std::to_string(station->session->record_id)
                                : "no session";
      std::string seconds = std::to_string(change.for_ms / 1000) + " s";
      bool lost = change.kind == ConnectionChange::Kind::kLost;
      if (lost) {
        Log("connection lost: " + who + " is rented (" + session + ") and was not heard for " +
            seconds + ": the session's time is in doubt");
      } else {
        Log("connection back: " + who + " answers again (" + session + "), flagged lost for " +
            seconds);
      }
      try {
        record_.RecordAction(
            now, "", who, lost ? "connection lost" : "connection back",
            session + (lost ? ", not heard for " : ", flagged lost for ") + seconds);
      } catch (const RecordError& e) {
        Log(std::string("the connection's change is not in the record: ") + e.what());
      }
    }
    if (room_.version() != before) {
      Changed();
    }
    std::vector<std::pair<std::string, std::string>> warnings = DueWarnings(now);
    std::vector<std::string> rented;
    if (steady_clock::now() >= next_probe) {
      next_probe = steady_clock::now() + std::chrono::milliseconds(options_.probe_every_ms);
      for (const auto& station : room_.stations()) {
        if (station.session && !station.unknown) {
          rented.push_back(station.address);
        }
      }
    }
    if (!rented.empty() || !warnings.empty()) {
      lock.unlock();
      for (const auto& [address, message] : warnings) {
        try {
          Send(address, wire::Message(text::Utf8ToCp1251(message)));
        } catch (const platform::PlatformError& e) {
          Log("cannot tell " + address + " its time is running out: " + e.what());
        }
      }
      for (const auto& address : rented) {
        try {
          Send(address, protocol::CommandText(protocol::kInfo));
        } catch (const platform::PlatformError& e) {
          Log("cannot ask " + address + " for its report: " + e.what());
        }
      }
      lock.lock();
    }
    watch_wake_.wait_for(lock, std::chrono::milliseconds(tick_ms),
                         [&] { return stopping_.load(); });
  }
}

std::vector<std::pair<std::string, std::string>> WebConsole::DueWarnings(Millis now) {
  std::vector<std::pair<std::string, std::string>> due;
  if (options_.warn_before_end_ms <= 0) {
    return due;
  }
  std::set<int64_t> open;
  for (const auto& station : room_.stations()) {
    if (!station.session || station.unknown) {
      continue;
    }
    int64_t id = station.session->record_id;
    open.insert(id);
    int64_t left = RemainingSeconds(*station.session, now);
    if (left * 1000 > options_.warn_before_end_ms) {
      warned_.erase(id);  // minutes were added: told again when it comes near
      continue;
    }
    if (left <= 0 || !warned_.insert(id).second) {
      continue;
    }
    std::string text = options_.warn_text;
    std::string minutes = std::to_string((left + 59) / 60);
    for (size_t at = text.find("{minutes}"); at != std::string::npos;
         at = text.find("{minutes}", at + minutes.size())) {
      text.replace(at, 9, minutes);
    }
    due.emplace_back(station.address, text);
    try {
      record_.RecordAction(now, "", station.name + " (" + station.address + ")", "message",
                           "before the end: " + text);
    } catch (const RecordError& e) {
      Log(std::string("the message is not in the record: ") + e.what());
    }
  }
  std::erase_if(warned_, [&](int64_t id) { return open.count(id) == 0; });
  return due;
}

std::vector<std::string> WebConsole::Probe(const std::vector<std::string>& addresses) {
  std::map<std::string, uint64_t> reports;  // before the probe
  {
    std::lock_guard lock(mutex_);
    for (const auto& address : addresses) {
      if (const Station* station = room_.Find(address)) {
        reports.emplace(address, station->reports);
      }
    }
  }
  if (reports.empty()) {
    return {};
  }
  for (const auto& [address, count] : reports) {
    try {
      Send(address, protocol::CommandText(protocol::kInfo));
    } catch (const platform::PlatformError& e) {
      Log("cannot ask " + address + " for its report: " + e.what());
    }
  }
  auto answered = [&](const std::string& address, uint64_t before) {
    const Station* station = room_.Find(address);
    return station && station->reports > before;
  };
  std::unique_lock lock(mutex_);
  heard_.wait_for(lock, std::chrono::milliseconds(options_.probe_wait_ms), [&] {
    return stopping_ || std::all_of(reports.begin(), reports.end(),
                                    [&](const auto& r) { return answered(r.first, r.second); });
  });
  std::vector<std::string> result;
  for (const auto& [address, before] : reports) {
    if (answered(address, before)) {
      result.push_back(address);
    }
  }
  return result;
}

void WebConsole::Send(const std::string& address, std::string_view command) {
  std::string datagram;
  {
    std::lock_guard lock(mutex_);
    datagram = envelope_.Wrap(command, address);
  }
  std::lock_guard lock(send_mutex_);
  socket_.SendTo(address, protocol::kCommandPort, datagram);
}

bool WebConsole::HasStation(const std::string& address) {
  std::lock_guard lock(mutex_);
  return room_.Find(address) != nullptr;
}

RoomSnapshot SnapshotOf(const Room& room, Millis now, uint64_t after) {
  RoomSnapshot snapshot;
  snapshot.now = now;
  snapshot.version = room.version();
  snapshot.keepalive_ms = room.options().keepalive_ms;
  auto changes = room.ChangesSince(after);
  snapshot.full = !changes;
  if (changes) {
    snapshot.stations.reserve(changes->stations.size());
    for (const Station* station : changes->stations) {
      snapshot.stations.push_back(*station);
    }
    snapshot.removed = std::move(changes->removed);
  } else {
    snapshot.stations = room.stations();
  }
  for (const auto& station : snapshot.stations) {
    snapshot.online.push_back(room.Online(station, now));
    snapshot.connection.push_back(room.ConnectionAt(station, now));
  }
  for (const auto& station : room.stations()) {
    if (room.ConnectionAt(station, now) == Connection::kLost) {
      ++snapshot.lost_count;
    }
  }
  snapshot.counters = room.counters();
  return snapshot;
}

RoomSnapshot WebConsole::Snapshot(uint64_t after) {
  std::lock_guard lock(mutex_);
  return SnapshotOf(room_, Now(), after);
}

uint64_t WebConsole::Version() {
  std::lock_guard lock(mutex_);
  return room_.version();
}

std::vector<SessionRecord> WebConsole::SessionsBetween(Millis from, Millis to) {
  std::lock_guard lock(mutex_);
  return record_.SessionsBetween(from, to);
}

}  // namespace zalvo::console
