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
    if (record.end_asked) {
      room_.Change(record.address, [&](Station& station) {
        station.ending = PendingEnd{
            .session_id = record.id, .asked = *record.end_asked, .by = record.end_asked_by};
      });
    }
  }
  // Closed without the station's word: the end is still sent.
  for (const auto& record : record_.UnconfirmedEnds()) {
    room_.Change(record.address, [&](Station& station) {
      if (!station.session) {
        station.ending = PendingEnd{.session_id = record.id,
                                    .asked = record.ended.value_or(0),
                                    .by = record.ended_by,
                                    .closed = true};
      }
    });
  }
  std::set<std::string> unkeyed = record_.UnkeyedStations();
  for (const auto& station : room_.stations()) {
    if (station.unkeyed || unkeyed.count(station.address) != 0) {
      envelope_.SetUnkeyed(station.address, true);
      room_.Change(station.address, [](Station& s) { s.unkeyed = true; });
    }
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
  // The record is compared with every station at once: a station that
  // changed while the console was away shows it.
  for (const auto& address : addresses) {
    try {
      {
        std::lock_guard lock(mutex_);
        asked_[address] = Now();
      }
      AskState(address);
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
  Unsealed opened = envelope_.Open(datagram.bytes, datagram.from_ip);
  if (opened.verdict != Unsealed::Verdict::kTaken) {
    room_.OnRefused();
    if (opened.verdict == Unsealed::Verdict::kHeard) {
      room_.OnHeard(datagram.from_ip, now);
      heard_.notify_all();
    }
    return;
  }
  Seal seal{opened.nonce, opened.verified};
  Room::Heard heard = room_.OnDatagram(datagram.from_ip, opened.text, now, seal);
  if (heard == Room::Heard::kReport) {
    Settle(datagram.from_ip, opened.text, seal, now);
    heard_.notify_all();  // a probe or an end may wait for it
  }
  if (heard == Room::Heard::kAdded) {
    const Station* station = room_.Find(datagram.from_ip);
    try {
      record_.AddStation({station->name, station->address}, now);
    } catch (const RecordError& e) {
      Log(std::string("the new station is not in the record: ") + e.what());
    }
    Log("station " + station->address + " reported and was added to the room");
  }
}

void WebConsole::WatchLoop() {
  const Millis tick_ms =
      std::clamp<Millis>(std::min(options_.probe_every_ms, room_.options().lost_ms) / 4, 20, 250);
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
    // What is due of the console's own accord: the states and reports to
    // ask, the ends to send again, the sessions whose time is up, the
    // starts held for a station.
    std::vector<std::pair<std::string, std::string>> warnings = DueWarnings(now);
    std::vector<std::string> ask;
    std::vector<std::string> rented;
    std::vector<std::pair<std::string, std::vector<std::string>>> resend;
    std::vector<std::string> time_up;
    std::vector<std::string> held;
    for (const auto& station : room_.stations()) {
      if (station.unknown) {
        continue;
      }
      // Rented, ending, or starting (a start may wait for it): asked often.
      bool busy =
          station.session || station.ending || station.queued || room_.Booting(station, now);
      Millis period = busy ? options_.probe_every_ms : options_.state_every_ms;
      auto asked = asked_.find(station.address);
      if (asked == asked_.end() || now - asked->second >= period || now < asked->second) {
        asked_[station.address] = now;
        ask.push_back(station.address);
        if (station.session) {
          rented.push_back(station.address);
        }
      }
      // The end goes again whenever the station is heard, until it holds.
      if (station.ending && station.ending->sent >= 0 &&
          station.last_heard > station.ending->sent &&
          now - station.ending->sent >= std::min<Millis>(options_.probe_wait_ms, 1'000)) {
        resend.emplace_back(station.address,
                            std::vector<std::string>(static_cast<size_t>(StandsToEnd(station, now)),
                                                     protocol::CommandText(protocol::kStand)));
        room_.Note(station.address, [&](Station& s) { s.ending->sent = now; });
      }
      // A member's session ends at its time even where the minutes over are
      // otherwise sold afterwards.
      const TimeUpRule& rule = till_.time_up;
      if (station.session && !station.ending && EndsAtTimeUp(rule, *station.session) &&
          now >= station.session->ends + Millis{rule.grace_seconds} * 1000 &&
          timed_up_.insert(station.session->record_id).second) {
        time_up.push_back(station.address);
      }
      if (station.queued) {
        if (station.last_heard >= station.queued->queued || now > station.queued->until) {
          held.push_back(station.address);
        }
      }
    }
    if (room_.version() != before) {
      Changed();
    }
    if (warnings.empty() && ask.empty() && resend.empty() && time_up.empty() && held.empty()) {
      watch_wake_.wait_for(lock, std::chrono::milliseconds(tick_ms),
                           [&] { return stopping_.load(); });
      continue;
    }
    lock.unlock();
    for (const auto& [address, message] : warnings) {
      try {
        Send(address, wire::Message(text::Utf8ToCp1251(message)));
      } catch (const platform::PlatformError& e) {
        Log("cannot tell " + address + " its time is running out: " + e.what());
      }
    }
    for (const auto& address : ask) {
      try {
        AskState(address);
        if (std::find(rented.begin(), rented.end(), address) != rented.end()) {
          Send(address, protocol::CommandText(protocol::kInfo));
        }
      } catch (const platform::PlatformError& e) {
        Log("cannot ask " + address + " for its state: " + e.what());
      }
    }
    for (const auto& [address, stands] : resend) {
      try {
        SendEnd(address, stands);
      } catch (const platform::PlatformError& e) {
        Log("cannot send the end to " + address + " again: " + e.what());
      }
    }
    for (const auto& address : time_up) {
      ActionOutcome outcome = End("", address, std::nullopt, false);
      if (!outcome.ok()) {
        Log("time up on " + address + ": the end was not asked: " + outcome.refusal->text);
      }
    }
    for (const auto& address : held) {
      RunQueued(address);
    }
    lock.lock();
    watch_wake_.wait_for(lock, std::chrono::milliseconds(tick_ms),
                         [&] { return stopping_.load(); });
  }
}

std::vector<std::pair<std::string, std::string>> WebConsole::DueWarnings(Millis now) {
  std::vector<std::pair<std::string, std::string>> due;
  // Told the warning's minutes before the time is up, and where the console
  // ends a session at its time up, at the latest then; the minutes it is
  // told are those until the session ends.
  const TimeUpRule& rule = till_.time_up;
  const Millis lead = options_.warn_before_end_ms;
  std::set<int64_t> open;
  for (const auto& station : room_.stations()) {
    if (!station.session || station.unknown || station.ending) {
      continue;
    }
    int64_t id = station.session->record_id;
    open.insert(id);
    const bool ends = EndsAtTimeUp(rule, *station.session);
    if (lead <= 0 && !ends) {
      continue;
    }
    const Millis grace = ends ? Millis{rule.grace_seconds} * 1000 : 0;
    Millis to_time_up = station.session->ends - now;
    Millis to_end = to_time_up + grace;
    if (to_time_up > lead) {
      warned_.erase(id);  // minutes were added: told again when it comes near
      continue;
    }
    if (to_end <= 0 || !warned_.insert(id).second) {
      continue;
    }
    std::string text = options_.warn_text;
    std::string minutes = std::to_string((to_end + 59'999) / 60'000);
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
  std::erase_if(timed_up_, [&](int64_t id) { return open.count(id) == 0; });
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

void WebConsole::Send(const std::string& address, const std::vector<std::string>& commands,
                      const std::function<void(const std::vector<std::string>&)>& noted) {
  std::vector<std::string> datagrams;
  {
    std::lock_guard lock(mutex_);
    std::vector<std::string> nonces;
    for (const auto& command : commands) {
      Sealed sealed = envelope_.Wrap(command, address);
      datagrams.push_back(std::move(sealed.datagram));
      nonces.push_back(std::move(sealed.nonce));
    }
    if (noted) {
      noted(nonces);
    }
  }
  std::lock_guard lock(send_mutex_);
  for (const auto& datagram : datagrams) {
    socket_.SendTo(address, protocol::kCommandPort, datagram);
  }
}

void WebConsole::AskState(const std::string& address) {
  Millis now = Now();
  Send(address, {protocol::CommandText(protocol::kState)},
       [&](const std::vector<std::string>& nonces) {
         room_.Note(address, [&](Station& station) {
           station.state_nonce = nonces.at(0);
           station.state_answered = false;
           station.state_asked = now;
         });
       });
}

void WebConsole::SendEnd(const std::string& address, const std::vector<std::string>& stands) {
  std::vector<std::string> commands = stands;
  commands.push_back(protocol::CommandText(protocol::kState));
  Millis now = Now();
  Send(address, commands, [&](const std::vector<std::string>& nonces) {
    room_.Note(address, [&](Station& station) {
      if (station.ending) {
        station.ending->sent = now;
        // The reply to the last STAND of any sending proves the end.
        auto& kept = station.ending->nonces;
        kept.push_back(nonces.at(nonces.size() - 2));
        if (kept.size() > 8) {
          kept.erase(kept.begin());
        }
      }
      station.state_nonce = nonces.back();
      station.state_answered = false;
      station.state_asked = -1;  // not alone: the STANDs' PINGs come first
    });
  });
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
    snapshot.overrun_price.emplace_back();
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
  RoomSnapshot snapshot = SnapshotOf(room_, Now(), after);
  snapshot.keyed = envelope_.Keyed();
  for (size_t i = 0; i < snapshot.stations.size(); ++i) {
    const Station& station = snapshot.stations[i];
    const Tariff* tariff = TariffOf(till_, station.address);
    if (tariff && station.session && !EndsAtTimeUp(till_.time_up, *station.session)) {
      // The minutes over are priced at the end, each at its period; the
      // page shows them at the price of the first one.
      auto first = PriceOf(*tariff, station.session->ends, 1);
      if (first && !first->parts.empty()) {
        snapshot.overrun_price[i] = OverrunPrice{first->parts[0].per_hour, tariff->minimum};
      }
    }
  }
  return snapshot;
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
