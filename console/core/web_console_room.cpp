// The room in the record: opened at the start (the room file taken in once),
// changed on the page through the room changes' table, and the room file's
// lines the record lacks, offered on the page.
#include "console/core/web_console.h"

namespace zalvo::console {

std::vector<StationConfig> WebConsole::RoomStations() const {
  std::vector<StationConfig> stations;
  for (const auto& station : room_.stations()) {
    if (!station.unknown) {
      stations.push_back({station.name, station.address, station.column, station.row});
    }
  }
  return stations;
}

void WebConsole::FollowRecord() {
  till_ = record_.Till();
  macs_ = record_.StationMacs();
  room_.SetStations(record_.Stations());
  // A station taken in unkeyed (the room file's mark) is sent plain
  // commands from then on.
  for (const auto& address : record_.UnkeyedStations()) {
    const Station* station = room_.Find(address);
    if (station && !station->unkeyed) {
      envelope_.SetUnkeyed(address, true);
      room_.Change(address, [](Station& s) { s.unkeyed = true; });
    }
  }
}

std::optional<RoomFileLines> WebConsole::FileLines(std::string& problem) {
  if (!options_.room_file) {
    return std::nullopt;
  }
  try {
    RoomPlan plan = ParseRoomPlan(options_.room_file());
    return MissingLines(plan, RoomStations(), till_, macs_);
  } catch (const std::exception& e) {
    problem = e.what();
    return std::nullopt;
  }
}

std::vector<std::string> WebConsole::OpenRoom() {
  std::vector<std::string> said;
  std::lock_guard lock(mutex_);
  FollowRecord();
  if (record_.Setting("room_import") == "pending") {
    // The first start with the record's schema: the room file's lines are
    // taken in once; a file that can't be read stops the start.
    Millis now = Now();
    std::string summary;
    record_.Atomically([&] {
      if (options_.room_file) {
        RoomFileLines lines =
            MissingLines(ParseRoomPlan(options_.room_file()), RoomStations(), till_, macs_);
        if (!lines.empty()) {
          summary = console::TakeOver(record_, lines, now);
          record_.RecordAction(now, "", "", "room file taken in", summary);
        }
      }
      record_.SetSetting("room_import", std::nullopt);
    });
    FollowRecord();
    if (!summary.empty()) {
      said.push_back("the room file's lines the record lacked were taken in once (" + summary +
                     "); from now on the record holds the room");
    }
    return said;
  }
  std::string problem;
  auto lines = FileLines(problem);
  if (!problem.empty()) {
    said.push_back("the room file can't be read (" + problem + "); the record holds the room");
  } else if (lines && !lines->empty()) {
    said.push_back("the room file has " + std::to_string(lines->said.size()) +
                   " lines the record lacks: the page offers to take them over");
  }
  return said;
}

size_t WebConsole::TakeOver(const std::string& operator_name, const RoomPlan& plan) {
  std::lock_guard lock(mutex_);
  RoomFileLines lines = MissingLines(plan, RoomStations(), till_, macs_);
  if (lines.empty()) {
    return 0;
  }
  Millis now = Now();
  record_.Atomically([&] {
    record_.RecordAction(now, operator_name, "", "room file taken over",
                         console::TakeOver(record_, lines, now));
  });
  FollowRecord();
  Changed();
  return lines.said.size();
}

RoomFileView WebConsole::RoomFile() {
  std::lock_guard lock(mutex_);
  RoomFileView view;
  view.exists = static_cast<bool>(options_.room_file);
  auto lines = FileLines(view.problem);
  if (lines) {
    view.missing = lines->said;
    view.dismissed = !lines->empty() && record_.Setting("room_file_dismissed") == lines->Joined();
  }
  return view;
}

ActionOutcome WebConsole::ChangeRoom(const std::string& operator_name, const RoomChange& change) {
  ActionOutcome outcome;
  outcome.address = change.station;
  const RoomChangeRow& row = RowOf(change.kind);
  RoomChangeDone done;
  {
    std::lock_guard lock(mutex_);
    try {
      std::string problem;
      auto lines = FileLines(problem);
      Millis now = Now();
      RoomContext context{record_, room_, till_, lines, problem, now};
      record_.Atomically([&] {
        done = row.apply(context, change);
        record_.RecordAction(now, operator_name, done.station, done.what, done.detail);
      });
    } catch (const Refused& e) {
      outcome.refusal = e.refusal();
      return outcome;
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      Log(outcome.refusal->text);
      return outcome;
    }
    FollowRecord();
    if (!done.gone.empty()) {
      queued_.erase(done.gone);
      asked_.erase(done.gone);
      room_.Remove(done.gone);
    }
  }
  outcome.changed = done.detail;
  Log(operator_name + ": " + done.what + (done.station.empty() ? "" : " " + done.station) +
      (done.detail.empty() ? "" : " (" + done.detail + ")"));
  Changed();
  return outcome;
}

}  // namespace zalvo::console
