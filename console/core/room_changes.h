// The owner's changes of the room, as one table like the actions' and the
// till's: each row is a change's name, who may make it, its fields, how
// they are read and checked, and what it writes to the record (and says in
// the action log). The record holds the room; the console's room follows it
// after each change. A new change is a kind below and a row in
// room_changes.cpp.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/actions.h"
#include "console/core/record.h"
#include "console/core/room.h"
#include "console/core/room_file.h"

namespace zalvo::console {

// A name of a station or an operator: 1 to 64 bytes of UTF-8 without
// control characters. The reason it is not one, or nullopt.
inline constexpr size_t kMaxName = 64;
std::optional<std::string> NameProblem(std::string_view name);

// The lines of the room file the record lacks: stations not in the room,
// tariffs and groups not in the till, the group of a station the record
// has in none, a MAC address the record has none for, and the currency when
// the record names none. Each line is also said in words, for the page.
struct RoomFileLines {
  std::string currency;
  std::vector<StationConfig> stations;
  std::vector<Tariff> tariffs;
  std::vector<TillPlan::GroupPlan> groups;
  std::vector<std::pair<std::string, std::string>> members;  // address, group name
  std::vector<std::pair<std::string, std::string>> macs;     // address, MAC
  std::vector<std::string> said;
  bool empty() const { return said.empty(); }
  // The lines said, one a line (what a dismissal keeps, to know them again).
  std::string Joined() const;
};
RoomFileLines MissingLines(const RoomPlan& plan, const std::vector<StationConfig>& stations,
                           const TillSetup& till, const std::map<std::string, std::string>& macs);
// Writes the lines into the record; the summary for the log.
std::string TakeOver(Record& record, const RoomFileLines& lines, Millis now);

// A change of the room made on the page.
struct RoomChange {
  enum class Kind {
    kAdd,       // a new station: address, name, place, group
    kEdit,      // the station's name, place or group, those given
    kAdopt,     // a station shown as unknown joins the room, with those given
    kRemove,    // the station leaves the room (refused with a session)
    kTakeOver,  // the room file's lines the record lacks
    kDismiss,   // ... are not taken: the page stops offering them
  };
  Kind kind = Kind::kEdit;
  std::string station;  // its address
  std::optional<std::string> name;
  std::optional<std::pair<int, int>> place;  // column, row; (0, 0): none
  // Set: the station's group (nullopt: none).
  std::optional<std::optional<int64_t>> group;
};

// What a change's row works on, with the console's lock held and inside the
// record's transaction.
struct RoomContext {
  Record& record;
  const Room& room;
  const TillSetup& till;
  // The room file's lines the record lacks now; nullopt without a room file
  // or with one that can't be read (`file_problem` then says why).
  const std::optional<RoomFileLines>& file_lines;
  const std::string& file_problem;
  Millis now = 0;
};

// The action log's line of a change, and what the answer says was changed.
struct RoomChangeDone {
  std::string what;
  std::string station;  // "name (address)", or ""
  std::string detail;
  std::string gone = {};  // the address the room forgets, known or unknown
};

struct RoomChangeRow {
  RoomChange::Kind kind;
  Role role;  // the least role that may make it
  std::string_view name;
  std::array<std::string_view, 6> fields;  // the request's fields besides "action"
  Check (*read)(const RequestFields& fields, RoomChange& change);
  // Writes the change; throws Refused when the room's state does not allow
  // it.
  RoomChangeDone (*apply)(const RoomContext& context, const RoomChange& change);
};

std::span<const RoomChangeRow> RoomChangeRows();
const RoomChangeRow& RowOf(RoomChange::Kind kind);
// Reads a request for a change through the table (its "action" names the
// row) and checks that the role may make it.
Check ReadRoomChange(const RequestFields& fields, Role role, RoomChange& change);
// Every field such a request may hold.
std::vector<std::string> RoomChangeFields();

}  // namespace zalvo::console
