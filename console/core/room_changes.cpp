#include "console/core/room_changes.h"

#include <algorithm>
#include <set>

#include "console/core/wake.h"

namespace zalvo::console {
namespace {

using Kind = RoomChange::Kind;

[[noreturn]] void Refuse(RefusalKind kind, const std::string& text) {
  throw Refused(kind, text);
}

std::string Who(const std::string& name, const std::string& address) {
  return name + " (" + address + ")";
}

std::string PlaceText(int column, int row) {
  return column == 0 && row == 0 ? std::string("none")
                                 : std::to_string(column) + "," + std::to_string(row);
}

// The readers.

Check ReadStation(const RequestFields& fields, RoomChange& change) {
  auto station = fields.Text("station");
  if (!station) {
    return BadRequest("'station' must be a station's address");
  }
  change.station = *station;
  return std::nullopt;
}

// The fields a station may be given: a name, a place ("column" and "row",
// both or neither) and a group (an id, or null for none).
Check ReadStationFields(const RequestFields& fields, RoomChange& change) {
  if (auto refused = ReadStation(fields, change)) {
    return refused;
  }
  if (fields.Has("name")) {
    change.name = fields.Text("name");
    if (!change.name) {
      return BadRequest("'name' must be a text");
    }
  }
  if (fields.Has("column") || fields.Has("row")) {
    auto column = fields.Integer("column");
    auto row = fields.Integer("row");
    if (!column || !row || *column < 0 || *column > 999 || *row < 0 || *row > 999 ||
        (*column == 0) != (*row == 0)) {
      return BadRequest(
          "'column' and 'row' go together, each from 1 to 999 (both 0: no place on the grid)");
    }
    change.place = std::pair{static_cast<int>(*column), static_cast<int>(*row)};
  }
  if (fields.Has("group")) {
    if (fields.IsNull("group")) {
      change.group.emplace(std::nullopt);
    } else {
      auto id = fields.Integer("group");
      if (!id || *id < 1) {
        return BadRequest("'group' must be a group's id, or null for none");
      }
      change.group.emplace(*id);
    }
  }
  return std::nullopt;
}

Check ReadRemoval(const RequestFields& fields, RoomChange& change) {
  if (auto refused = ReadStation(fields, change)) {
    return refused;
  }
  if (fields.Flag("confirm") != true) {
    return BadRequest("removing a station needs \"confirm\": true");
  }
  return std::nullopt;
}

Check ReadNothing(const RequestFields&, RoomChange&) {
  return std::nullopt;
}

// The checks of a station's fields against the room and the till.

void CheckName(const Room& room, const std::string& name, const std::string& address) {
  if (auto problem = NameProblem(name)) {
    Refuse(RefusalKind::kBadRequest, "the station's name: " + *problem);
  }
  for (const auto& other : room.stations()) {
    if (other.name == name && other.address != address && !other.unknown) {
      Refuse(RefusalKind::kConflict, "the name '" + name + "' is taken by " + other.address);
    }
  }
}

void CheckPlace(const Room& room, std::pair<int, int> place, const std::string& address) {
  if (place.first == 0) {
    return;
  }
  for (const auto& other : room.stations()) {
    if (other.column == place.first && other.row == place.second && other.address != address &&
        !other.unknown) {
      Refuse(RefusalKind::kConflict, "the place " + PlaceText(place.first, place.second) +
                                         " is taken by " + Who(other.name, other.address));
    }
  }
}

std::string GroupName(const TillSetup& till, std::optional<int64_t> id) {
  if (!id) {
    return "none";
  }
  for (const auto& group : till.groups) {
    if (group.id == *id) {
      return group.name;
    }
  }
  Refuse(RefusalKind::kNotFound, "no such group");
}

std::optional<int64_t> GroupIdOf(const TillSetup& till, const std::string& address) {
  auto member = till.members.find(address);
  return member == till.members.end() ? std::nullopt : std::optional(member->second);
}

// Writes a station's given fields over `config` (checked), and says what
// changed, "; "-separated; nothing for what stays as it was.
std::string Apply(const RoomContext& c, const RoomChange& change, StationConfig& config) {
  std::vector<std::string> said;
  if (change.name) {
    CheckName(c.room, *change.name, config.address);
    if (*change.name != config.name) {
      said.push_back("name '" + config.name + "' -> '" + *change.name + "'");
      config.name = *change.name;
    }
  }
  if (change.place) {
    CheckPlace(c.room, *change.place, config.address);
    if (change.place->first != config.column || change.place->second != config.row) {
      said.push_back("place " + PlaceText(config.column, config.row) + " -> " +
                     PlaceText(change.place->first, change.place->second));
      config.column = change.place->first;
      config.row = change.place->second;
    }
  }
  if (change.group) {
    std::string to = GroupName(c.till, *change.group);
    auto current = GroupIdOf(c.till, config.address);
    if (current != *change.group) {
      said.push_back("group " + GroupName(c.till, current) + " -> " + to);
      c.record.SetStationGroup(config.address, *change.group);
    }
  }
  std::string joined;
  for (const auto& part : said) {
    joined += (joined.empty() ? "" : "; ") + part;
  }
  return joined;
}

// The changes.

RoomChangeDone AddStation(const RoomContext& c, const RoomChange& change) {
  if (!IsDottedIPv4(change.station)) {
    Refuse(RefusalKind::kBadRequest,
           "'" + change.station + "' is not a dotted IPv4 address such as 192.168.1.21");
  }
  if (const Station* there = c.room.Find(change.station)) {
    Refuse(RefusalKind::kConflict, there->unknown
                                       ? "the station reported by itself: adopt it"
                                       : "the address is in the room already: " + there->name);
  }
  if (!change.name) {
    Refuse(RefusalKind::kBadRequest, "a new station needs a 'name'");
  }
  StationConfig config;
  config.address = change.station;
  config.name = *change.name;
  std::string said = Apply(c, change, config);
  c.record.AddStation(config, c.now);
  return {"station added", Who(config.name, config.address), said};
}

const Station& Known(const RoomContext& c, const std::string& address) {
  const Station* station = c.room.Find(address);
  if (!station) {
    Refuse(RefusalKind::kNotFound, "no station at '" + address + "'");
  }
  if (station->unknown) {
    Refuse(RefusalKind::kConflict, "an unknown station: adopt it first");
  }
  return *station;
}

RoomChangeDone EditStation(const RoomContext& c, const RoomChange& change) {
  const Station& station = Known(c, change.station);
  StationConfig config{station.name, station.address, station.column, station.row};
  std::string said = Apply(c, change, config);
  c.record.UpdateStation(config);
  return {"station changed", Who(config.name, config.address),
          said.empty() ? std::string("nothing changed") : said};
}

RoomChangeDone AdoptStation(const RoomContext& c, const RoomChange& change) {
  const Station* station = c.room.Find(change.station);
  if (!station) {
    Refuse(RefusalKind::kNotFound, "no station at '" + change.station + "'");
  }
  if (!station->unknown) {
    Refuse(RefusalKind::kConflict, "not an unknown station");
  }
  StationConfig config{station->name, station->address, 0, 0};
  std::string said = Apply(c, change, config);
  c.record.AddStation(config, c.now);
  return {"adopt", Who(config.name, config.address), said};
}

RoomChangeDone RemoveStation(const RoomContext& c, const RoomChange& change) {
  const Station* station = c.room.Find(change.station);
  if (!station) {
    Refuse(RefusalKind::kNotFound, "no station at '" + change.station + "'");
  }
  if (station->session) {
    Refuse(RefusalKind::kConflict, "the station is rented: end the session first");
  }
  if (station->ending) {
    Refuse(RefusalKind::kConflict,
           "the station has not confirmed its session's end yet: wait for it");
  }
  if (station->queued) {
    Refuse(RefusalKind::kConflict, "a start is held for the station: wait for it");
  }
  // Its sessions, sales and log lines stay; its place in the till goes.
  c.record.RemoveStation(station->address);
  c.record.SetStationGroup(station->address, std::nullopt);
  c.record.SetStationMac(station->address, std::nullopt);
  return {"remove", Who(station->name, station->address), station->unknown ? "unknown" : "",
          station->address};
}

const RoomFileLines& Offered(const RoomContext& c) {
  if (!c.file_problem.empty()) {
    Refuse(RefusalKind::kConflict, "the room file can't be read: " + c.file_problem);
  }
  if (!c.file_lines) {
    Refuse(RefusalKind::kConflict, "there is no room file to take lines from");
  }
  if (c.file_lines->empty()) {
    Refuse(RefusalKind::kConflict, "the record has every line of the room file");
  }
  return *c.file_lines;
}

RoomChangeDone TakeOverFile(const RoomContext& c, const RoomChange&) {
  const RoomFileLines& lines = Offered(c);
  std::string summary = TakeOver(c.record, lines, c.now);
  c.record.SetSetting("room_file_dismissed", std::nullopt);
  return {"room file taken over", "", summary};
}

RoomChangeDone DismissFile(const RoomContext& c, const RoomChange&) {
  const RoomFileLines& lines = Offered(c);
  c.record.SetSetting("room_file_dismissed", lines.Joined());
  return {"room file dismissed", "", std::to_string(lines.said.size()) + " lines not taken"};
}

constexpr std::array<std::string_view, 6> kStationFields = {"station", "name", "column", "row",
                                                            "group"};

constexpr RoomChangeRow kRows[] = {
    {Kind::kAdd, Role::kOwner, "add", kStationFields, ReadStationFields, AddStation},
    {Kind::kEdit, Role::kOwner, "edit", kStationFields, ReadStationFields, EditStation},
    {Kind::kAdopt, Role::kOwner, "adopt", kStationFields, ReadStationFields, AdoptStation},
    {Kind::kRemove, Role::kOwner, "remove", {"station", "confirm"}, ReadRemoval, RemoveStation},
    {Kind::kTakeOver, Role::kOwner, "take_over", {}, ReadNothing, TakeOverFile},
    {Kind::kDismiss, Role::kOwner, "dismiss", {}, ReadNothing, DismissFile},
};

// One UTF-8 character at `i`: its code point and length, or nullopt for a
// byte sequence that is not one (overlong, surrogate, past U+10FFFF).
std::optional<std::pair<char32_t, size_t>> Utf8At(std::string_view text, size_t i) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char first = byte(i);
  size_t length = first < 0x80           ? 1
                  : (first >> 5) == 0x6  ? 2
                  : (first >> 4) == 0xE  ? 3
                  : (first >> 3) == 0x1E ? 4
                                         : 0;
  if (length == 0 || i + length > text.size()) {
    return std::nullopt;
  }
  char32_t code = length == 1 ? first : first & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return std::nullopt;
    }
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return std::nullopt;
  }
  return std::pair{code, length};
}

}  // namespace

std::optional<std::string> NameProblem(std::string_view name) {
  if (name.empty() || name.size() > kMaxName) {
    return "a name has 1 to " + std::to_string(kMaxName) + " bytes";
  }
  for (size_t i = 0; i < name.size();) {
    auto character = Utf8At(name, i);
    if (!character) {
      return std::string("a name is text (UTF-8)");
    }
    char32_t code = character->first;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029) {
      return std::string("a name has no control characters (line breaks, tabs and the like)");
    }
    i += character->second;
  }
  return std::nullopt;
}

std::string RoomFileLines::Joined() const {
  std::string joined;
  for (const auto& line : said) {
    joined += line + "\n";
  }
  return joined;
}

RoomFileLines MissingLines(const RoomPlan& plan, const std::vector<StationConfig>& stations,
                           const TillSetup& till, const std::map<std::string, std::string>& macs) {
  RoomFileLines lines;
  if (till.currency.empty() && !plan.till.currency.empty()) {
    lines.currency = plan.till.currency;
    lines.said.push_back("currency " + lines.currency);
  }
  for (const auto& tariff : plan.till.tariffs) {
    if (std::none_of(till.tariffs.begin(), till.tariffs.end(),
                     [&](const Tariff& t) { return t.name == tariff.name; })) {
      lines.tariffs.push_back(tariff);
      std::string prices;
      for (const auto& period : tariff.periods) {
        prices += (prices.empty() ? "" : ", ") + PeriodText(period);
      }
      lines.said.push_back("tariff " + tariff.name + ", " + prices);
    }
  }
  for (const auto& group : plan.till.groups) {
    if (std::none_of(till.groups.begin(), till.groups.end(),
                     [&](const Group& g) { return g.name == group.name; })) {
      lines.groups.push_back(group);
      lines.said.push_back("group " + group.name + " at the tariff " + group.tariff);
    }
  }
  std::set<std::string> names;
  std::map<std::string, std::string> known;  // address -> name
  for (const auto& station : stations) {
    names.insert(station.name);
    known.emplace(station.address, station.name);
  }
  for (StationConfig station : plan.stations) {
    if (known.count(station.address) != 0) {
      continue;
    }
    // A name the record has for another address keeps the two apart.
    if (!names.insert(station.name).second) {
      station.name += " (" + station.address + ")";
      names.insert(station.name);
    }
    known.emplace(station.address, station.name);
    lines.said.push_back(
        "station " + station.name + " at " + station.address +
        (station.column ? ", place " + PlaceText(station.column, station.row) : std::string()) +
        (station.unkeyed ? ", unkeyed" : ""));
    lines.stations.push_back(std::move(station));
  }
  for (const auto& [address, group] : plan.till.members) {
    if (known.count(address) != 0 && till.members.count(address) == 0) {
      lines.members.emplace_back(address, group);
      lines.said.push_back(known[address] + " in the group " + group);
    }
  }
  for (const auto& station : plan.stations) {
    if (!station.mac.empty() && known.count(station.address) != 0 &&
        macs.count(station.address) == 0) {
      lines.macs.emplace_back(station.address, station.mac);
      lines.said.push_back("the MAC address of " + known[station.address] + ": " + station.mac);
    }
  }
  return lines;
}

std::string TakeOver(Record& record, const RoomFileLines& lines, Millis now) {
  if (!lines.currency.empty()) {
    record.SetCurrency(lines.currency);
  }
  for (Tariff tariff : lines.tariffs) {
    tariff.id = 0;
    record.SaveTariff(tariff);
  }
  TillSetup till = record.Till();
  auto tariff_id = [&](const std::string& name) {
    for (const auto& tariff : till.tariffs) {
      if (tariff.name == name) {
        return tariff.id;
      }
    }
    throw Refused(RefusalKind::kConflict, "no tariff '" + name + "' in the record");
  };
  for (const auto& group : lines.groups) {
    record.SaveGroup(Group{0, group.name, tariff_id(group.tariff)});
  }
  for (const auto& station : lines.stations) {
    record.AddStation(station, now);
    if (station.unkeyed) {
      record.SetStationUnkeyed(station.address, true);
    }
  }
  till = record.Till();
  for (const auto& [address, name] : lines.members) {
    for (const auto& group : till.groups) {
      if (group.name == name) {
        record.SetStationGroup(address, group.id);
      }
    }
  }
  for (const auto& [address, mac] : lines.macs) {
    record.SetStationMac(address, mac);
  }
  auto count = [](size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  return count(lines.stations.size(), "station", "stations") + ", " +
         count(lines.tariffs.size(), "tariff", "tariffs") + ", " +
         count(lines.groups.size(), "group", "groups") + ", " +
         count(lines.members.size(), "station put in a group", "stations put in groups") + ", " +
         count(lines.macs.size(), "MAC address", "MAC addresses") +
         (lines.currency.empty() ? "" : ", the currency " + lines.currency);
}

std::span<const RoomChangeRow> RoomChangeRows() {
  return kRows;
}

const RoomChangeRow& RowOf(RoomChange::Kind kind) {
  for (const auto& row : kRows) {
    if (row.kind == kind) {
      return row;
    }
  }
  throw std::logic_error("a room change without a row");
}

Check ReadRoomChange(const RequestFields& fields, Role role, RoomChange& change) {
  const RoomChangeRow* row = nullptr;
  if (auto refused = FindRow(std::span<const RoomChangeRow>(kRows), fields, "action", role, row)) {
    return refused;
  }
  change.kind = row->kind;
  return row->read(fields, change);
}

std::vector<std::string> RoomChangeFields() {
  return RowFields(std::span<const RoomChangeRow>(kRows), "action");
}

}  // namespace zalvo::console
