#include "console/core/web_console.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "console/core/wire.h"
#include "platform/error.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::console {
namespace {

constexpr const char* kActionNames[] = {
    "start",  "add",         "end",        "info",   "windows",  "kill",
    "volume", "monitor_off", "monitor_on", "reboot", "shutdown",
};

Millis WallClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::optional<ActionKind> ActionFromName(const std::string& name) {
  for (size_t i = 0; i < std::size(kActionNames); ++i) {
    if (name == kActionNames[i]) {
      return static_cast<ActionKind>(i);
    }
  }
  return std::nullopt;
}

const char* ActionName(ActionKind kind) {
  return kActionNames[static_cast<size_t>(kind)];
}

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
    room_.SetSession(record.address, session);
  }
}

void WebConsole::Start() {
  socket_.Bind(options_.udp_address, options_.udp_port);
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
  while (!stopping_) {
    std::optional<platform::ReceivedDatagram> datagram;
    try {
      datagram = socket_.Receive(200);
    } catch (const platform::PlatformError& e) {
      Log(std::string("receive failed: ") + e.what());
      continue;
    }
    if (!datagram) {
      continue;
    }
    std::lock_guard lock(mutex_);
    uint64_t before = room_.version();
    if (datagram->byte_count < 0) {
      room_.OnFailedReceive();
      continue;
    }
    auto text = envelope_.Open(datagram->bytes, datagram->from_ip);
    if (!text) {
      room_.OnRefused();
      continue;
    }
    Millis now = Now();
    Room::Heard heard = room_.OnDatagram(datagram->from_ip, *text, now);
    if (heard == Room::Heard::kReport) {
      heard_.notify_all();  // a probe may wait for it
    }
    if (heard == Room::Heard::kAdded) {
      const Station* station = room_.Find(datagram->from_ip);
      try {
        record_.AddStation(station->address, station->name, now);
      } catch (const RecordError& e) {
        Log(std::string("the new station is not in the record: ") + e.what());
      }
      Log("station " + station->address + " reported and was added to the room");
    }
    if (room_.version() != before) {
      Changed();
    }
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
    std::vector<std::string> rented;
    if (steady_clock::now() >= next_probe) {
      next_probe = steady_clock::now() + std::chrono::milliseconds(options_.probe_every_ms);
      for (const auto& station : room_.stations()) {
        if (station.session && !station.unknown) {
          rented.push_back(station.address);
        }
      }
    }
    if (!rented.empty()) {
      lock.unlock();
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

std::vector<ActionOutcome> WebConsole::Act(const std::string& operator_name,
                                           const ActionRequest& request) {
  // A start or an added time goes only to stations that answer now: the
  // ones it could be carried out on are asked at once, and waited for once.
  std::vector<std::string> answered;
  if (request.kind == ActionKind::kStart || request.kind == ActionKind::kAdd) {
    std::vector<std::string> probed;
    {
      std::lock_guard lock(mutex_);
      Millis now = Now();
      for (const auto& address : request.stations) {
        const Station* station = room_.Find(address);
        if (station && !station->unknown &&
            station->session.has_value() == (request.kind == ActionKind::kAdd) &&
            !(request.anyway && room_.Booting(*station, now))) {
          probed.push_back(address);
        }
      }
    }
    answered = Probe(probed);
  }
  std::vector<ActionOutcome> outcomes;
  for (const auto& address : request.stations) {
    bool heard = std::find(answered.begin(), answered.end(), address) != answered.end();
    outcomes.push_back(ActOn(operator_name, request, address, heard));
  }
  Changed();
  return outcomes;
}

ActionOutcome WebConsole::Adopt(const std::string& operator_name, const std::string& address) {
  ActionOutcome outcome;
  outcome.address = address;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station || !station->unknown) {
      outcome.error = station ? "not an unknown station" : "no such station";
      return outcome;
    }
    Millis now = Now();
    try {
      record_.Atomically([&] {
        record_.AddStation(address, station->name, now);
        record_.RecordAction(now, operator_name, station->name + " (" + address + ")", "adopt", "");
      });
    } catch (const RecordError& e) {
      outcome.error = std::string("not done, the record failed: ") + e.what();
      return outcome;
    }
    room_.Adopt(address);
  }
  Log(operator_name + ": adopted the station " + address);
  Changed();
  outcome.ok = true;
  return outcome;
}

ActionOutcome WebConsole::Remove(const std::string& operator_name, const std::string& address) {
  ActionOutcome outcome;
  outcome.address = address;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station) {
      outcome.error = "no such station";
      return outcome;
    }
    if (station->configured) {
      outcome.error = "the station is in the room's file: remove it there";
      return outcome;
    }
    if (station->session) {
      outcome.error = "the station is rented: end the session first";
      return outcome;
    }
    try {
      record_.Atomically([&] {
        record_.RemoveStation(address);
        record_.RecordAction(Now(), operator_name, station->name + " (" + address + ")", "remove",
                             station->unknown ? "unknown" : "");
      });
    } catch (const RecordError& e) {
      outcome.error = std::string("not done, the record failed: ") + e.what();
      return outcome;
    }
    room_.Remove(address);
  }
  Log(operator_name + ": removed the station " + address);
  Changed();
  outcome.ok = true;
  return outcome;
}

ActionOutcome WebConsole::ActOn(const std::string& operator_name, const ActionRequest& request,
                                const std::string& address, bool answered) {
  ActionOutcome outcome;
  outcome.address = address;
  std::vector<std::string> commands;
  std::string detail;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station) {
      outcome.error = "no such station";
      return outcome;
    }
    if (station->unknown) {
      outcome.error = "an unknown station: adopt it first";
      return outcome;
    }
    // The refusals first; then the record's writes as one transaction, and
    // only once they are in the record the room's change and the commands:
    // a failed write leaves the record, the room and the station as they
    // were.
    const std::optional<RentalSession>& current = station->session;
    if (request.kind == ActionKind::kStart && current) {
      outcome.error = "already rented: add minutes or end the session first";
      return outcome;
    }
    if (request.kind == ActionKind::kAdd && !current) {
      outcome.error = "not rented: start a session first";
      return outcome;
    }
    if (request.kind == ActionKind::kEnd && !current) {
      outcome.error = "nothing to end";
      return outcome;
    }
    Millis now = Now();
    if (request.kind == ActionKind::kStart || request.kind == ActionKind::kAdd) {
      bool booting = room_.Booting(*station, now);
      if (request.anyway && !booting) {
        outcome.error =
            "not known to be restarting: \"anyway\" is only for a station the console restarted "
            "or started a session on lately";
        return outcome;
      }
      if (!answered && !request.anyway) {
        outcome.error = "the station does not answer";
        outcome.can_force = booting;
        return outcome;
      }
    }
    std::optional<std::optional<RentalSession>> new_session;  // set: the room's session changes
    switch (request.kind) {
      case ActionKind::kStart:
        new_session = NewSession(request.minutes, now, operator_name);
        commands.push_back(wire::Sit(request.minutes));
        detail = std::to_string(request.minutes) + " min";
        break;
      case ActionKind::kAdd: {
        Renewal renewal = AddMinutes(*current, request.minutes, now);
        new_session = renewal.session;
        commands.push_back(wire::Sit(renewal.sit_minutes));
        detail = "+" + std::to_string(request.minutes) + " min, " +
                 std::to_string(renewal.sit_minutes) + " min from now";
        break;
      }
      case ActionKind::kEnd: {
        int32_t stands = StandsToEndNow(current, now);
        if (current) {
          new_session.emplace(std::nullopt);
        }
        commands.assign(static_cast<size_t>(stands), protocol::CommandText(protocol::kStand));
        detail = std::to_string(stands) + " x STAND";
        break;
      }
      case ActionKind::kInfo:
        commands.emplace_back(protocol::CommandText(protocol::kInfo));
        break;
      case ActionKind::kWindows:
        commands.emplace_back(protocol::CommandText(protocol::kProcess));
        break;
      case ActionKind::kKill:
        commands.push_back(wire::Kill(text::Utf8ToCp1251(request.caption)));
        detail = request.caption;
        break;
      case ActionKind::kVolume:
        commands.push_back(wire::Volume(request.volume));
        detail = std::to_string(request.volume) + " %";
        break;
      case ActionKind::kMonitorOff:
        commands.emplace_back(protocol::CommandText(protocol::kMonitorOff));
        break;
      case ActionKind::kMonitorOn:
        commands.emplace_back(protocol::CommandText(protocol::kMonitorOn));
        break;
      case ActionKind::kReboot:
        commands.emplace_back(protocol::CommandText(protocol::kReboot));
        break;
      case ActionKind::kShutdown:
        commands.emplace_back(protocol::CommandText(protocol::kShutdown));
        break;
    }
    try {
      record_.Atomically([&] {
        switch (request.kind) {
          case ActionKind::kStart:
            (*new_session)->record_id = record_.StartSession(*station, **new_session);
            break;
          case ActionKind::kAdd:
            record_.RenewSession((*new_session)->record_id, **new_session);
            break;
          case ActionKind::kEnd:
            if (current) {
              record_.EndSession(current->record_id, now, operator_name);
            }
            break;
          default:
            break;
        }
        record_.RecordAction(now, operator_name, station->name + " (" + address + ")",
                             ActionName(request.kind), detail);
      });
    } catch (const RecordError& e) {
      outcome.error = std::string("not done, the record failed: ") + e.what();
      Log(outcome.error);
      return outcome;
    }
    if (new_session) {
      room_.SetSession(address, *new_session);
    }
    if (request.kind == ActionKind::kStart || request.kind == ActionKind::kReboot) {
      room_.MarkBooting(address, now);
    }
  }
  try {
    for (const auto& command : commands) {
      Send(address, command);
    }
  } catch (const platform::PlatformError& e) {
    outcome.error = std::string("recorded, but the send failed: ") + e.what();
    return outcome;
  }
  Log(operator_name + ": " + ActionName(request.kind) + " " + address +
      (detail.empty() ? "" : " (" + detail + ")"));
  outcome.ok = true;
  return outcome;
}

RoomSnapshot WebConsole::Snapshot() {
  std::lock_guard lock(mutex_);
  RoomSnapshot snapshot;
  snapshot.now = Now();
  snapshot.version = room_.version();
  snapshot.keepalive_ms = room_.options().keepalive_ms;
  snapshot.stations = room_.stations();
  for (const auto& station : snapshot.stations) {
    snapshot.online.push_back(room_.Online(station, snapshot.now));
    snapshot.connection.push_back(room_.ConnectionAt(station, snapshot.now));
  }
  snapshot.counters = room_.counters();
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

std::optional<std::string> WebConsole::OperatorHash(const std::string& name) {
  std::lock_guard lock(mutex_);
  return record_.OperatorHash(name);
}

void WebConsole::RecordAction(const std::string& operator_name, const std::string& action,
                              const std::string& detail) {
  std::lock_guard lock(mutex_);
  record_.RecordAction(Now(), operator_name, "", action, detail);
}

}  // namespace zalvo::console
