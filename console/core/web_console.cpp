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

constexpr const char* kActionNames[] = {
    "start",       "add",        "end",    "info",     "windows",  "kill",    "volume",
    "monitor_off", "monitor_on", "reboot", "shutdown", "power_on", "message",
};

// How often stations that stopped reporting are marked offline.
constexpr Millis kOfflineCheckMs = 200;

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
    if (!outcomes.back().ok) {
      // The log shows what was refused and why, beside what was done.
      std::lock_guard lock(mutex_);
      const Station* station = room_.Find(address);
      std::string detail = request.kind == ActionKind::kStart || request.kind == ActionKind::kAdd
                               ? std::to_string(request.minutes) + " min"
                               : "";
      try {
        record_.RecordRefusal(Now(), operator_name,
                              station ? station->name + " (" + address + ")" : address,
                              ActionName(request.kind), detail, outcomes.back().error);
      } catch (const RecordError&) {
        // The refusal itself stands; its line is only for the log.
      }
    }
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
  std::string wake;  // a magic packet to broadcast
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
    // A sale, when the club sells by tariff: priced now, in the open shift.
    std::optional<SaleRecord> sale;
    if ((request.kind == ActionKind::kStart || request.kind == ActionKind::kAdd) &&
        !till_.tariffs.empty()) {
      const Tariff* tariff = TariffOf(address);
      if (!tariff) {
        outcome.error = "the station is in no group with a tariff: give it a group first";
        return outcome;
      }
      auto shift = record_.OpenShift();
      if (!shift) {
        outcome.error = "no shift is open: open a shift first";
        return outcome;
      }
      auto price = PriceOf(*tariff, request.minutes);
      if (!price) {
        outcome.error = "the tariff '" + tariff->name + "' can't price " +
                        std::to_string(request.minutes) + " minutes";
        return outcome;
      }
      sale = SaleRecord{0,
                        0,
                        shift->id,
                        now,
                        operator_name,
                        request.minutes,
                        *price,
                        tariff->name,
                        tariff->per_hour};
    }
    // At an early end of a priced session, the refund of its unused minutes.
    std::optional<RefundRecord> refund;
    if (request.kind == ActionKind::kEnd && current) {
      RefundOffer offer = RefundOfferFor(*current, now);
      if (offer.amount > 0) {
        outcome.refund_offer = offer;
        if (!request.refund) {
          outcome.error = "a refund of " + MoneyText(offer.amount) + " for " +
                          std::to_string(offer.minutes) +
                          " unused minutes is offered: pay it out or keep it";
          return outcome;
        }
        auto shift = record_.OpenShift();
        if (*request.refund && !shift) {
          outcome.error = "no shift is open to pay the refund from: open one, or keep the refund";
          return outcome;
        }
        refund = RefundRecord{0,
                              current->record_id,
                              shift ? std::optional(shift->id) : std::nullopt,
                              now,
                              operator_name,
                              offer.minutes,
                              offer.amount,
                              *request.refund};
      }
    }
    std::optional<std::optional<RentalSession>> new_session;  // set: the room's session changes
    switch (request.kind) {
      case ActionKind::kStart:
        new_session = NewSession(request.minutes, now, operator_name);
        commands.push_back(wire::Sit(request.minutes));
        detail = std::to_string(request.minutes) + " min";
        if (sale) {
          detail += ", " + MoneyText(sale->price) + " " + till_.currency;
        }
        break;
      case ActionKind::kAdd: {
        Renewal renewal = AddMinutes(*current, request.minutes, now);
        new_session = renewal.session;
        commands.push_back(wire::Sit(renewal.sit_minutes));
        detail = "+" + std::to_string(request.minutes) + " min, " +
                 std::to_string(renewal.sit_minutes) + " min from now";
        if (sale) {
          detail += ", " + MoneyText(sale->price) + " " + till_.currency;
        }
        break;
      }
      case ActionKind::kEnd: {
        int32_t stands = StandsToEndNow(current, now);
        if (current) {
          new_session.emplace(std::nullopt);
        }
        commands.assign(static_cast<size_t>(stands), protocol::CommandText(protocol::kStand));
        detail = std::to_string(stands) + " x STAND";
        if (refund) {
          detail += ", refund " + MoneyText(refund->amount) + " " + till_.currency +
                    (refund->paid ? " paid out" : " kept");
        }
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
      case ActionKind::kMessage:
        commands.push_back(wire::Message(text::Utf8ToCp1251(request.text)));
        detail = request.text;
        break;
      case ActionKind::kPowerOn: {
        auto known = macs_.find(address);
        auto mac = known == macs_.end() ? std::nullopt : ParseMac(known->second);
        if (!mac) {
          outcome.error = "no MAC address is known for the station: enter it first";
          return outcome;
        }
        wake = MagicPacket(*mac);
        detail = known->second + " to " + options_.wake_address + ":" +
                 std::to_string(options_.wake_port);
        break;
      }
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
            if (refund) {
              record_.AddRefund(*refund);
            }
            break;
          default:
            break;
        }
        if (sale) {
          sale->session_id = (*new_session)->record_id;
          record_.AddSale(*sale);
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
    if (request.kind == ActionKind::kStart || request.kind == ActionKind::kReboot ||
        request.kind == ActionKind::kPowerOn) {
      room_.MarkBooting(address, now);
    }
  }
  try {
    for (const auto& command : commands) {
      Send(address, command);
    }
    if (!wake.empty()) {
      std::lock_guard lock(send_mutex_);
      socket_.SendTo(options_.wake_address, options_.wake_port, wake);
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

void WebConsole::RecordAction(const std::string& operator_name, const std::string& action,
                              const std::string& detail) {
  std::lock_guard lock(mutex_);
  record_.RecordAction(Now(), operator_name, "", action, detail);
}

std::optional<OperatorRecord> WebConsole::Operator(const std::string& name) {
  std::lock_guard lock(mutex_);
  return record_.Operator(name);
}

std::vector<OperatorRecord> WebConsole::Operators() {
  std::lock_guard lock(mutex_);
  return record_.Operators();
}

ActionOutcome WebConsole::SetOperator(const std::string& by, const std::string& name,
                                      const std::string& password_hash, std::optional<Role> role) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto existing = record_.Operator(name);
    if (!existing && password_hash.empty()) {
      outcome.error = "a new operator needs a password";
      return outcome;
    }
    if (existing && existing->role == Role::kOwner && role == Role::kOperator) {
      if (OwnerCount() == 1) {
        outcome.error = "the last owner can't be made an operator: make another owner first";
        return outcome;
      }
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.SetOperator(name, password_hash, role);
      std::string detail = existing ? "changed" : "added";
      if (role) {
        detail += std::string(", ") + RoleName(*role);
      }
      if (existing && !password_hash.empty()) {
        detail += ", new password";
      }
      record_.RecordAction(now, by, "", "operator " + name, detail);
    });
  } catch (const RecordError& e) {
    outcome.error = std::string("not done, the record failed: ") + e.what();
    return outcome;
  }
  Log(by + ": operator " + name + (role ? std::string(" (") + RoleName(*role) + ")" : "") + " set");
  outcome.ok = true;
  return outcome;
}

ActionOutcome WebConsole::RemoveOperator(const std::string& by, const std::string& name) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto existing = record_.Operator(name);
    if (!existing) {
      outcome.error = "there is no operator '" + name + "'";
      return outcome;
    }
    if (existing->role == Role::kOwner && OwnerCount() == 1) {
      outcome.error = "the last owner can't be removed";
      return outcome;
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.RemoveOperator(name);
      record_.RecordAction(now, by, "", "operator " + name, "removed");
    });
  } catch (const RecordError& e) {
    outcome.error = std::string("not done, the record failed: ") + e.what();
    return outcome;
  }
  Log(by + ": operator " + name + " removed");
  outcome.ok = true;
  return outcome;
}

std::vector<ActionRecord> WebConsole::ActionsBetween(Millis from, Millis to, const std::string& by,
                                                     size_t most) {
  std::lock_guard lock(mutex_);
  return record_.ActionsBetween(from, to, by, most);
}

void WebConsole::SaveLogin(const LoginRecord& login) {
  std::lock_guard lock(mutex_);
  // Log-ins that ended by their age or idleness are forgotten as new ones
  // come.
  Millis now = Now();
  record_.DeleteLoginsBefore(now - kLoginLifetimeMs, now - kLoginIdleMs);
  record_.SaveLogin(login);
}

std::optional<LoginRecord> WebConsole::FindLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  return record_.FindLogin(token_hash);
}

void WebConsole::TouchLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  record_.TouchLogin(token_hash, Now());
}

void WebConsole::DeleteLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  record_.DeleteLogin(token_hash);
}

bool WebConsole::SeedTill(const TillPlan& plan) {
  std::lock_guard lock(mutex_);
  TillSetup current = record_.Till();
  if (!current.currency.empty() || !current.tariffs.empty() || !current.groups.empty() ||
      (plan.currency.empty() && plan.tariffs.empty())) {
    return false;
  }
  Millis now = Now();
  record_.Atomically([&] {
    std::map<std::string, int64_t> tariffs;
    std::map<std::string, int64_t> groups;
    if (!plan.currency.empty()) {
      record_.SetCurrency(plan.currency);
    }
    for (Tariff tariff : plan.tariffs) {
      tariff.id = 0;
      tariffs[tariff.name] = record_.SaveTariff(tariff);
    }
    for (const auto& group : plan.groups) {
      groups[group.name] = record_.SaveGroup(Group{0, group.name, tariffs.at(group.tariff)});
    }
    for (const auto& [address, group] : plan.members) {
      record_.SetStationGroup(address, groups.at(group));
    }
    record_.RecordAction(now, "", "", "till seeded",
                         std::to_string(plan.tariffs.size()) + " tariffs, " +
                             std::to_string(plan.groups.size()) + " groups from the room file");
  });
  till_ = record_.Till();
  return true;
}

size_t WebConsole::SeedMacs(const std::vector<StationConfig>& stations) {
  std::lock_guard lock(mutex_);
  size_t taken = 0;
  record_.Atomically([&] {
    for (const auto& station : stations) {
      if (!station.mac.empty() && macs_.count(station.address) == 0) {
        record_.SetStationMac(station.address, station.mac);
        ++taken;
      }
    }
  });
  macs_ = record_.StationMacs();
  return taken;
}

const Tariff* WebConsole::TariffOf(const std::string& address) const {
  auto member = till_.members.find(address);
  if (member == till_.members.end()) {
    return nullptr;
  }
  for (const auto& group : till_.groups) {
    if (group.id == member->second) {
      for (const auto& tariff : till_.tariffs) {
        if (tariff.id == group.tariff_id) {
          return &tariff;
        }
      }
    }
  }
  return nullptr;
}

ShiftReport WebConsole::ReportOf(const ShiftRecord& shift) {
  ShiftReport report;
  report.shift = shift;
  auto sales = record_.ShiftSales(shift.id);
  auto refunds = record_.ShiftRefunds(shift.id);
  report.sales = sales.size();
  report.refunds = refunds.size();
  auto totals = TotalsOf(shift.opening, sales, refunds, shift.counted);
  if (!totals) {
    throw RecordError("the totals of shift " + std::to_string(shift.id) +
                      " leave the range of an amount: the record is damaged");
  }
  report.totals = *totals;
  return report;
}

TillView WebConsole::Till() {
  std::lock_guard lock(mutex_);
  TillView view;
  view.setup = till_;
  view.macs = macs_;
  if (auto shift = record_.OpenShift()) {
    view.shift = ReportOf(*shift);
  }
  for (const auto& station : room_.stations()) {
    if (!station.session) {
      continue;
    }
    auto sales = record_.SalesOf(station.session->record_id);
    if (sales.empty()) {
      continue;
    }
    Money price = 0;
    for (const auto& sale : sales) {
      price += sale.price;
    }
    view.session_prices[station.address] = price;
  }
  return view;
}

RefundOffer WebConsole::RefundOfferFor(const RentalSession& session, Millis now) {
  std::vector<Sale> sold;
  for (const auto& sale : record_.SalesOf(session.record_id)) {
    sold.push_back(Sale{sale.minutes, sale.price});
  }
  return RefundFor(sold, UnusedWholeMinutes(session.ends, now));
}

size_t WebConsole::OwnerCount() {
  auto operators = record_.Operators();
  return static_cast<size_t>(std::count_if(operators.begin(), operators.end(),
                                           [](const auto& o) { return o.role == Role::kOwner; }));
}

std::vector<EndPreview> WebConsole::PreviewEnd(const std::vector<std::string>& addresses) {
  std::lock_guard lock(mutex_);
  Millis now = Now();
  std::vector<EndPreview> previews;
  for (const auto& address : addresses) {
    EndPreview preview;
    preview.address = address;
    const Station* station = room_.Find(address);
    if (station && station->session) {
      preview.rented = true;
      preview.unused_minutes = UnusedWholeMinutes(station->session->ends, now);
      preview.offer = RefundOfferFor(*station->session, now);
    }
    previews.push_back(preview);
  }
  return previews;
}

void WebConsole::ApplyTillChange(const std::string& operator_name, const TillChange& change,
                                 Millis now) {
  using Kind = TillChange::Kind;
  auto has_tariff = [&](int64_t id) {
    return std::any_of(till_.tariffs.begin(), till_.tariffs.end(),
                       [&](const Tariff& t) { return t.id == id; });
  };
  auto has_group = [&](int64_t id) {
    return std::any_of(till_.groups.begin(), till_.groups.end(),
                       [&](const Group& g) { return g.id == id; });
  };
  std::string what;
  std::string detail;
  switch (change.kind) {
    case Kind::kCurrency:
      if (!IsCurrencyCode(change.currency)) {
        throw std::invalid_argument("a currency is a code of 1 to 8 letters, such as BGN");
      }
      if (!till_.currency.empty() && change.currency != till_.currency && record_.SaleCount() > 0) {
        throw std::invalid_argument("the currency can't change once something has been sold in " +
                                    till_.currency);
      }
      record_.SetCurrency(change.currency);
      what = "currency";
      detail = change.currency;
      break;
    case Kind::kTariff: {
      if (std::string problem = TariffProblem(change.tariff); !problem.empty()) {
        throw std::invalid_argument(problem);
      }
      if (change.tariff.id != 0 && !has_tariff(change.tariff.id)) {
        throw std::invalid_argument("no such tariff");
      }
      if (till_.currency.empty()) {
        throw std::invalid_argument("name the currency first");
      }
      record_.SaveTariff(change.tariff);
      what = change.tariff.id == 0 ? "tariff added" : "tariff changed";
      detail = change.tariff.name + ": " + MoneyText(change.tariff.per_hour) +
               " per hour, minimum " + MoneyText(change.tariff.minimum);
      break;
    }
    case Kind::kDeleteTariff:
      if (!has_tariff(change.tariff.id)) {
        throw std::invalid_argument("no such tariff");
      }
      for (const auto& group : till_.groups) {
        if (group.tariff_id == change.tariff.id) {
          throw std::invalid_argument("the group '" + group.name +
                                      "' sells at this tariff: give it another first");
        }
      }
      record_.DeleteTariff(change.tariff.id);
      what = "tariff removed";
      detail = std::to_string(change.tariff.id);
      break;
    case Kind::kGroup:
      if (change.group.name.empty() || change.group.name.size() > 64) {
        throw std::invalid_argument("a group's name has 1 to 64 bytes");
      }
      if (!has_tariff(change.group.tariff_id)) {
        throw std::invalid_argument("a group needs a tariff");
      }
      if (change.group.id != 0 && !has_group(change.group.id)) {
        throw std::invalid_argument("no such group");
      }
      record_.SaveGroup(change.group);
      what = change.group.id == 0 ? "group added" : "group changed";
      detail = change.group.name;
      break;
    case Kind::kDeleteGroup: {
      if (!has_group(change.group.id)) {
        throw std::invalid_argument("no such group");
      }
      auto members = std::count_if(till_.members.begin(), till_.members.end(),
                                   [&](const auto& m) { return m.second == change.group.id; });
      if (members > 0) {
        throw std::invalid_argument(std::to_string(members) +
                                    " stations belong to the group: move them first");
      }
      record_.DeleteGroup(change.group.id);
      what = "group removed";
      detail = std::to_string(change.group.id);
      break;
    }
    case Kind::kAssign:
      if (change.group_id && !has_group(*change.group_id)) {
        throw std::invalid_argument("no such group");
      }
      for (const auto& address : change.stations) {
        if (!room_.Find(address)) {
          throw std::invalid_argument("no station at '" + address + "'");
        }
        record_.SetStationGroup(address, change.group_id);
      }
      what = "group assigned";
      detail = std::to_string(change.stations.size()) + " stations to " +
               (change.group_id ? std::to_string(*change.group_id) : std::string("no group"));
      break;
    case Kind::kMac: {
      if (change.stations.size() != 1 || !room_.Find(change.stations[0])) {
        throw std::invalid_argument("no such station");
      }
      std::optional<std::string> mac;
      if (!change.mac.empty()) {
        auto parsed = ParseMac(change.mac);
        if (!parsed) {
          throw std::invalid_argument("'" + change.mac +
                                      "' is not a network card's MAC address such as "
                                      "00:1a:2b:3c:4d:5e");
        }
        mac = MacText(*parsed);
      }
      record_.SetStationMac(change.stations[0], mac);
      what = "mac";
      detail = change.stations[0] + " " + mac.value_or("none");
      break;
    }
    case Kind::kMacsFromNeighbours: {
      if (!options_.neighbour_table) {
        throw std::invalid_argument("this server has no neighbour table to read");
      }
      size_t filled = 0;
      for (const auto& [ip, mac] : ParseNeighbourTable(options_.neighbour_table())) {
        if (room_.Find(ip) && macs_.count(ip) == 0) {
          record_.SetStationMac(ip, MacText(mac));
          ++filled;
        }
      }
      what = "macs from neighbours";
      detail = std::to_string(filled) + " filled in";
      break;
    }
  }
  record_.RecordAction(now, operator_name, "", what, detail);
}

ActionOutcome WebConsole::ChangeTill(const std::string& operator_name, const TillChange& change) {
  ActionOutcome outcome;
  {
    std::lock_guard lock(mutex_);
    try {
      record_.Atomically([&] { ApplyTillChange(operator_name, change, Now()); });
    } catch (const std::invalid_argument& e) {
      outcome.error = e.what();
      return outcome;
    } catch (const RecordError& e) {
      std::string what = e.what();
      outcome.error = what.find("UNIQUE") != std::string::npos
                          ? "that name is taken"
                          : "not done, the record failed: " + what;
      return outcome;
    }
    till_ = record_.Till();
    macs_ = record_.StationMacs();
  }
  Changed();
  outcome.ok = true;
  return outcome;
}

ActionOutcome WebConsole::OpenShift(const std::string& operator_name, Money cash) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    if (auto open = record_.OpenShift()) {
      outcome.error = "a shift is open since " + LocalTimeText(open->opened) + " (" +
                      open->opened_by + "): close it first";
      return outcome;
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.BeginShift(now, operator_name, cash);
      record_.RecordAction(now, operator_name, "", "shift opened", "cash " + MoneyText(cash));
    });
  } catch (const RecordError& e) {
    outcome.error = std::string("not done, the record failed: ") + e.what();
    return outcome;
  }
  Log(operator_name + ": opened a shift with " + MoneyText(cash) + " in the drawer");
  outcome.ok = true;
  return outcome;
}

ActionOutcome WebConsole::CloseShift(const std::string& operator_name, Money counted,
                                     std::optional<ShiftReport>& report) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto open = record_.OpenShift();
    if (!open) {
      outcome.error = "no shift is open";
      return outcome;
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.EndShift(open->id, now, operator_name, counted);
      record_.RecordAction(now, operator_name, "", "shift closed", "counted " + MoneyText(counted));
    });
    open->closed = now;
    open->closed_by = operator_name;
    open->counted = counted;
    report = ReportOf(*open);
  } catch (const RecordError& e) {
    outcome.error = std::string("not done, the record failed: ") + e.what();
    return outcome;
  }
  Log(operator_name + ": closed the shift, " + MoneyText(counted) + " counted, difference " +
      MoneyText(report->totals.difference.value_or(0)));
  outcome.ok = true;
  return outcome;
}

std::vector<ShiftReport> WebConsole::ShiftsBetween(Millis from, Millis to) {
  std::lock_guard lock(mutex_);
  std::vector<ShiftReport> reports;
  for (const auto& shift : record_.ShiftsBetween(from, to)) {
    reports.push_back(ReportOf(shift));
  }
  return reports;
}

}  // namespace zalvo::console
