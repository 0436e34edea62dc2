// The room on the page: its long poll, a station's windows, the operators'
// actions on stations, read through the actions' table, and the owner's
// changes of the room, read through the room changes' table.
#include <nlohmann/json.hpp>

#include "console/web/answers.h"
#include "console/web/web_server.h"

namespace zalvo::console {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const char* StateSupportName(StateSupport support) {
  switch (support) {
    case StateSupport::kYes:
      return "yes";
    case StateSupport::kNo:
      return "no";
    case StateSupport::kUnknown:
      break;
  }
  return "unknown";
}

// What the console knows of the station beside its session: the station's
// own word on its session, an end it has not confirmed, a disagreement with
// the record, a start held for it, and whether its datagrams are verified.
void AddStationsWord(json& j, const Station& station, bool keyed, Millis now) {
  j["unkeyed"] = station.unkeyed;
  j["verified"] = keyed && !station.unkeyed;
  j["state_support"] = StateSupportName(station.state_support);
  j["station_state"] = station.state ? json{{"running", station.state->running},
                                            {"seconds_left", station.state->seconds_left},
                                            {"age_ms", now - station.state->at}}
                                     : json(nullptr);
  j["ending"] = station.ending ? json{{"asked_at", station.ending->asked},
                                      {"by", station.ending->by},
                                      {"closed", station.ending->closed},
                                      {"sent", station.ending->sent >= 0}}
                               : json(nullptr);
  j["mismatch"] =
      station.mismatch
          ? json{{"kind", station.mismatch->kind == Mismatch::Kind::kRunning ? "running" : "free"},
                 {"text", MismatchText(*station.mismatch)},
                 {"since", station.mismatch->since}}
          : json(nullptr);
  j["queued"] = station.queued ? json{{"action", station.queued->action},
                                      {"minutes", station.queued->minutes},
                                      {"by", station.queued->by},
                                      {"until", station.queued->until}}
                               : json(nullptr);
  j["notice"] = station.notice;
}

json StationJson(const Station& station, bool online, Connection connection, Millis now, bool keyed,
                 const std::optional<OverrunPrice>& overrun_price) {
  json j{{"address", station.address},
         {"name", station.name},
         {"column", station.column},
         {"row", station.row},
         {"unknown", station.unknown},
         {"online", online},
         {"connection", ConnectionName(connection)},
         {"last_heard_ms", station.last_heard < 0 ? json(nullptr) : json(now - station.last_heard)},
         {"foreground", station.foreground ? json(*station.foreground) : json(nullptr)},
         {"free_mb", station.free_mb ? json(*station.free_mb) : json(nullptr)}};
  switch (OccupancyOf(station, now)) {
    case Occupancy::kFree:
      j["state"] = "free";
      break;
    case Occupancy::kRented:
      j["state"] = "rented";
      break;
    case Occupancy::kOverrun:
      j["state"] = "overrun";
      break;
    case Occupancy::kEnding:
      j["state"] = "ending";
      break;
  }
  AddStationsWord(j, station, keyed, now);
  if (station.session) {
    j["session"] =
        json{{"started_at", station.session->started},
             {"ends_at", station.session->ends},
             {"minutes", station.session->minutes},
             {"started_by", station.session->started_by},
             {"sold", station.session->sold ? json(*station.session->sold) : json(nullptr)},
             {"seconds_left", RemainingSeconds(*station.session, now)},
             {"overrun_tariff", overrun_price ? json{{"per_hour", overrun_price->per_hour},
                                                     {"minimum", overrun_price->minimum}}
                                              : json(nullptr)}};
  } else {
    j["session"] = nullptr;
  }
  return j;
}

}  // namespace

WebServer::Answered WebServer::GetRoom(const Call& call) {
  auto after = call.request.Param("after");
  if (!after) {
    return RoomResponse();
  }
  uint64_t version = std::strtoull(after->c_str(), nullptr, 10);
  auto epoch = call.request.Param("epoch");
  if (epoch && *epoch != epoch_) {
    version = 0;
  }
  WaitForRoom(version, call.reply);
  return std::nullopt;
}

WebServer::Answered WebServer::Windows(const Call& call) {
  std::string address = call.request.Param("station").value_or("");
  RoomSnapshot snapshot = console_.Snapshot();
  for (const auto& station : snapshot.stations) {
    if (station.address == address) {
      return Reply(200,
                   json{{"station", station.address},
                        {"windows", station.windows},
                        {"at", station.windows_at < 0 ? json(nullptr) : json(station.windows_at)}});
    }
  }
  return Refuse(NotFound("no station at '" + address + "'"));
}

void WebServer::WaitForRoom(uint64_t after, const std::shared_ptr<HttpReply>& reply) {
  {
    // The version is read under the polls' lock, as AnswerPolls does, so
    // that a change can't slip between the check and the wait.
    std::lock_guard lock(polls_mutex_);
    if (stopping_) {
      Answer(reply, Refuse(RefusalKind::kUnavailable, kStopping));
      return;
    }
    if (console_.Version() == after) {
      polls_.push_back(Poll{after, reply, Clock::now() + options_.long_poll});
      http_->After(options_.long_poll, [this] { AnswerPolls(true); });
      return;
    }
  }
  Answer(reply, RoomResponse(after));
}

void WebServer::AnswerPolls(bool expired_only) {
  if (!expired_only) {
    answer_pending_ = false;
  }
  std::vector<Poll> due;
  {
    std::lock_guard lock(polls_mutex_);
    uint64_t version = console_.Version();
    auto now = Clock::now();
    auto split = std::partition(polls_.begin(), polls_.end(), [&](const Poll& poll) {
      return poll.after == version && poll.until > now;
    });
    due.assign(std::make_move_iterator(split), std::make_move_iterator(polls_.end()));
    polls_.erase(split, polls_.end());
  }
  // The pages that wait are mostly at the same version: one answer each.
  std::map<uint64_t, HttpResponse> answers;
  for (auto& poll : due) {
    auto it = answers.find(poll.after);
    if (it == answers.end()) {
      it = answers.emplace(poll.after, RoomResponse(poll.after)).first;
    }
    Answer(poll.reply, it->second);
  }
}

HttpResponse WebServer::RoomResponse(uint64_t after) {
  return Text(200, RoomAnswer(console_.Snapshot(after), epoch_), "application/json");
}

std::string RoomAnswer(const RoomSnapshot& snapshot, const std::string& epoch) {
  json stations = json::array();
  for (size_t i = 0; i < snapshot.stations.size(); ++i) {
    stations.push_back(StationJson(snapshot.stations[i], snapshot.online[i], snapshot.connection[i],
                                   snapshot.now, snapshot.keyed, snapshot.overrun_price[i]));
  }
  const auto& c = snapshot.counters;
  return json{{"version", snapshot.version},
              {"epoch", epoch},
              {"full", snapshot.full},
              {"now", snapshot.now},
              {"keepalive_ms", snapshot.keepalive_ms},
              {"stations", std::move(stations)},
              {"removed", snapshot.removed},
              {"lost_count", snapshot.lost_count},
              {"keyed", snapshot.keyed},
              {"counters",
               {{"datagrams", c.datagrams},
                {"reports", c.reports},
                {"stations_added", c.stations_added},
                {"unknown_sender", c.unknown_sender},
                {"garbage", c.garbage},
                {"failed_receives", c.failed_receives},
                {"refused", c.refused},
                {"over_limit", c.over_limit}}}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

// An action on stations: read and checked through the actions' table, then
// carried out on a thread of the acts (a start waits for the stations'
// answers, up to the probe's time), never the server's.
WebServer::Answered WebServer::Act(const Call& call) {
  static const std::vector<std::string> kFields = ActionFields();
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, kFields, refused);
  if (!body) {
    return Refuse(*refused);
  }
  ActionRequest action;
  if (auto refusal = ReadAction(JsonFields(*body), call.role, action)) {
    return Refuse(*refusal);
  }
  for (const auto& address : action.stations) {
    if (!console_.HasStation(address)) {
      return Refuse(NotFound("no station at '" + address + "'"));
    }
  }
  actors_.Submit([this, operator_name = call.login->operator_name, action, reply = call.reply] {
    HttpResponse response;
    try {
      response = OutcomesAnswer(console_.Act(operator_name, action));
    } catch (const std::exception& e) {
      response = Refuse(RefusalKind::kFailed, e.what());
    }
    Answer(reply, std::move(response));
  });
  return std::nullopt;
}

// A change of the room (an owner's): read and checked through the room
// changes' table; the answer says what it changed.
WebServer::Answered WebServer::ChangeStation(const Call& call) {
  static const std::vector<std::string> kFields = RoomChangeFields();
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, kFields, refused);
  if (!body) {
    return Refuse(*refused);
  }
  RoomChange change;
  if (auto refusal = ReadRoomChange(JsonFields(*body), call.role, change)) {
    return Refuse(*refusal);
  }
  return OutcomesAnswer({console_.ChangeRoom(call.login->operator_name, change)});
}

// The room file's lines the record lacks, which the page offers to take
// over (unless dismissed), or why the file can't be read.
WebServer::Answered WebServer::RoomFile(const Call&) {
  RoomFileView view = console_.RoomFile();
  return Reply(200, json{{"exists", view.exists},
                         {"problem", view.problem},
                         {"missing", view.missing},
                         {"dismissed", view.dismissed}});
}

}  // namespace zalvo::console
