#include "console/core/till_changes.h"

#include <algorithm>

#include "console/core/wake.h"

namespace zalvo::console {
namespace {

using Kind = TillChange::Kind;

// The readers.

std::optional<int64_t> Id(const RequestFields& fields, std::string_view name) {
  auto id = fields.Integer(name);
  return id && *id >= 1 ? id : std::nullopt;
}

// An id that is absent (0: something new), or one that names something
// (-1 when it is there but names nothing).
int64_t OptionalId(const RequestFields& fields) {
  return fields.Has("id") ? Id(fields, "id").value_or(-1) : 0;
}

std::optional<Money> Amount(const RequestFields& fields, std::string_view name) {
  auto text = fields.Text(name);
  return text ? ParseMoney(*text) : std::nullopt;
}

Check ReadCurrency(const RequestFields& fields, TillChange& change) {
  change.currency = fields.Text("currency").value_or("");
  return std::nullopt;
}

Check ReadTariff(const RequestFields& fields, TillChange& change) {
  change.tariff.id = OptionalId(fields);
  change.tariff.name = fields.Text("name").value_or("");
  auto per_hour = Amount(fields, "per_hour");
  auto minimum = fields.Has("minimum") ? Amount(fields, "minimum") : std::optional<Money>(0);
  if (change.tariff.id < 0 || !per_hour || !minimum) {
    return BadRequest(
        "a tariff needs 'name', 'per_hour' and 'minimum' as amounts such as \"3.50\" (at most " +
        MoneyText(kMaxHourPrice) + ")");
  }
  change.tariff.per_hour = *per_hour;
  change.tariff.minimum = *minimum;
  return std::nullopt;
}

Check ReadRemoval(const RequestFields& fields, TillChange& change) {
  auto id = Id(fields, "id");
  if (!id) {
    return BadRequest("'id' must name what to remove");
  }
  change.tariff.id = *id;
  change.group.id = *id;
  return std::nullopt;
}

Check ReadGroup(const RequestFields& fields, TillChange& change) {
  change.group.id = OptionalId(fields);
  change.group.name = fields.Text("name").value_or("");
  change.group.tariff_id = Id(fields, "tariff").value_or(0);
  if (change.group.id < 0) {
    return BadRequest("'id' must name the group to change");
  }
  return std::nullopt;
}

Check ReadAssign(const RequestFields& fields, TillChange& change) {
  if (auto refused = ReadStations(fields, change.stations)) {
    return refused;
  }
  if (!fields.IsNull("group")) {
    change.group_id = Id(fields, "group");
    if (!change.group_id) {
      return BadRequest("'group' must be a group's id, or null for none");
    }
  }
  return std::nullopt;
}

Check ReadMac(const RequestFields& fields, TillChange& change) {
  auto station = fields.Text("station");
  auto mac = fields.Text("mac");
  if (!station || !(mac || fields.IsNull("mac"))) {
    return BadRequest("'station' and 'mac' (a MAC address, or null for none) are needed");
  }
  change.stations.push_back(*station);
  change.mac = mac.value_or("");
  return std::nullopt;
}

// The changes.

const Tariff* FindTariff(const TillSetup& till, int64_t id) {
  auto found = std::find_if(till.tariffs.begin(), till.tariffs.end(),
                            [&](const Tariff& t) { return t.id == id; });
  return found == till.tariffs.end() ? nullptr : &*found;
}

const Group* FindGroup(const TillSetup& till, int64_t id) {
  auto found = std::find_if(till.groups.begin(), till.groups.end(),
                            [&](const Group& g) { return g.id == id; });
  return found == till.groups.end() ? nullptr : &*found;
}

bool HasTariff(const TillSetup& till, int64_t id) {
  return FindTariff(till, id) != nullptr;
}

bool HasGroup(const TillSetup& till, int64_t id) {
  return FindGroup(till, id) != nullptr;
}

std::string TariffText(const Tariff& tariff) {
  return MoneyText(tariff.per_hour) + " per hour, minimum " + MoneyText(tariff.minimum);
}

// "old -> new", or the value alone when it stays.
std::string Became(const std::string& before, const std::string& after) {
  return before == after ? after : before + " -> " + after;
}

[[noreturn]] void Refuse(RefusalKind kind, const std::string& text) {
  throw Refused(kind, text);
}

TillChangeDone SetCurrency(const TillContext& c, const TillChange& change) {
  if (!IsCurrencyCode(change.currency)) {
    Refuse(RefusalKind::kBadRequest, "a currency is a code of 1 to 8 letters, such as BGN");
  }
  if (!c.till.currency.empty() && change.currency != c.till.currency && c.record.SaleCount() > 0) {
    Refuse(RefusalKind::kConflict,
           "the currency can't change once something has been sold in " + c.till.currency);
  }
  c.record.SetCurrency(change.currency);
  return {"currency",
          c.till.currency.empty() ? change.currency : Became(c.till.currency, change.currency)};
}

TillChangeDone SaveTariff(const TillContext& c, const TillChange& change) {
  if (auto problem = TariffProblem(change.tariff)) {
    Refuse(RefusalKind::kBadRequest, *problem);
  }
  if (change.tariff.id != 0 && !HasTariff(c.till, change.tariff.id)) {
    Refuse(RefusalKind::kNotFound, "no such tariff");
  }
  if (c.till.currency.empty()) {
    Refuse(RefusalKind::kConflict, "name the currency first");
  }
  c.record.SaveTariff(change.tariff);
  const Tariff* before = FindTariff(c.till, change.tariff.id);
  if (!before) {
    return {"tariff added", change.tariff.name + ": " + TariffText(change.tariff)};
  }
  return {"tariff changed", Became(before->name, change.tariff.name) + ": " +
                                Became(TariffText(*before), TariffText(change.tariff))};
}

TillChangeDone DeleteTariff(const TillContext& c, const TillChange& change) {
  if (!HasTariff(c.till, change.tariff.id)) {
    Refuse(RefusalKind::kNotFound, "no such tariff");
  }
  for (const auto& group : c.till.groups) {
    if (group.tariff_id == change.tariff.id) {
      Refuse(RefusalKind::kConflict,
             "the group '" + group.name + "' sells at this tariff: give it another first");
    }
  }
  c.record.DeleteTariff(change.tariff.id);
  return {"tariff removed", FindTariff(c.till, change.tariff.id)->name};
}

TillChangeDone SaveGroup(const TillContext& c, const TillChange& change) {
  if (change.group.name.empty() || change.group.name.size() > 64) {
    Refuse(RefusalKind::kBadRequest, "a group's name has 1 to 64 bytes");
  }
  if (!HasTariff(c.till, change.group.tariff_id)) {
    Refuse(RefusalKind::kBadRequest, "a group needs a tariff");
  }
  if (change.group.id != 0 && !HasGroup(c.till, change.group.id)) {
    Refuse(RefusalKind::kNotFound, "no such group");
  }
  c.record.SaveGroup(change.group);
  std::string tariff = FindTariff(c.till, change.group.tariff_id)->name;
  const Group* before = FindGroup(c.till, change.group.id);
  if (!before) {
    return {"group added", change.group.name + ": sells at " + tariff};
  }
  return {"group changed", Became(before->name, change.group.name) + ": sells at " +
                               Became(FindTariff(c.till, before->tariff_id)->name, tariff)};
}

TillChangeDone DeleteGroup(const TillContext& c, const TillChange& change) {
  if (!HasGroup(c.till, change.group.id)) {
    Refuse(RefusalKind::kNotFound, "no such group");
  }
  auto members = std::count_if(c.till.members.begin(), c.till.members.end(),
                               [&](const auto& m) { return m.second == change.group.id; });
  if (members > 0) {
    Refuse(RefusalKind::kConflict,
           std::to_string(members) + " stations belong to the group: move them first");
  }
  c.record.DeleteGroup(change.group.id);
  return {"group removed", FindGroup(c.till, change.group.id)->name};
}

// Puts the stations in the group (or in none): it sets, never toggles, and
// says which moved and which were there already.
TillChangeDone Assign(const TillContext& c, const TillChange& change) {
  const Group* group = change.group_id ? FindGroup(c.till, *change.group_id) : nullptr;
  if (change.group_id && !group) {
    Refuse(RefusalKind::kNotFound, "no such group");
  }
  std::string target = group ? group->name : "no group";
  std::string moved;
  std::string stayed;
  for (const auto& address : change.stations) {
    const Station* station = c.room.Find(address);
    if (!station) {
      Refuse(RefusalKind::kNotFound, "no station at '" + address + "'");
    }
    auto member = c.till.members.find(address);
    std::optional<int64_t> now_in;
    if (member != c.till.members.end()) {
      now_in = member->second;
    }
    std::string& list = now_in == change.group_id ? stayed : moved;
    list += (list.empty() ? "" : ", ") + station->name;
    c.record.SetStationGroup(address, change.group_id);
  }
  std::string detail = moved.empty() ? "" : moved + " put in " + target;
  if (!stayed.empty()) {
    detail += (detail.empty() ? "" : "; ") + stayed + " in " + target + " already";
  }
  return {"group assigned", detail};
}

TillChangeDone SetMac(const TillContext& c, const TillChange& change) {
  if (change.stations.size() != 1 || !c.room.Find(change.stations[0])) {
    Refuse(RefusalKind::kNotFound, "no such station");
  }
  std::optional<std::string> mac;
  if (!change.mac.empty()) {
    auto parsed = ParseMac(change.mac);
    if (!parsed) {
      Refuse(RefusalKind::kBadRequest,
             "'" + change.mac + "' is not a network card's MAC address such as 00:1a:2b:3c:4d:5e");
    }
    mac = MacText(*parsed);
  }
  c.record.SetStationMac(change.stations[0], mac);
  auto before = c.macs.find(change.stations[0]);
  return {"mac",
          c.room.Find(change.stations[0])->name + " (" + change.stations[0] + "): " +
              Became(before == c.macs.end() ? "none" : before->second, mac.value_or("none"))};
}

TillChangeDone MacsFromNeighbours(const TillContext& c, const TillChange&) {
  if (!c.neighbour_table) {
    Refuse(RefusalKind::kConflict, "this server has no neighbour table to read");
  }
  size_t filled = 0;
  for (const auto& [ip, mac] : ParseNeighbourTable(c.neighbour_table())) {
    if (c.room.Find(ip) && c.macs.count(ip) == 0) {
      c.record.SetStationMac(ip, MacText(mac));
      ++filled;
    }
  }
  return {"macs from neighbours", std::to_string(filled) + " filled in"};
}

Check ReadNothing(const RequestFields&, TillChange&) {
  return std::nullopt;
}

Check ReadVoid(const RequestFields& fields, TillChange& change) {
  auto sale = Id(fields, "sale");
  if (!sale) {
    return BadRequest("'sale' must name the sale to void");
  }
  change.sale_id = *sale;
  change.reason = fields.Text("reason").value_or("");
  return ReasonProblem(change.reason);
}

Check ReadFreeMinutes(const RequestFields& fields, TillChange& change) {
  auto minutes = fields.Integer("minutes");
  if (!minutes || *minutes < 0 || *minutes > kMaxSessionMinutes) {
    return BadRequest("'minutes' must be a whole number from 0 to " +
                      std::to_string(kMaxSessionMinutes));
  }
  change.minutes = static_cast<int32_t>(*minutes);
  return std::nullopt;
}

// A void takes the sale's amount back from the drawer's expected cash in the
// shift open now (of an earlier shift's sale, a correction to that shift),
// as a row of its own; the sale stays as it was.
TillChangeDone Void(const TillContext& c, const TillChange& change) {
  auto sale = c.record.FindSale(change.sale_id);
  if (!sale) {
    Refuse(RefusalKind::kNotFound, "no such sale");
  }
  if (sale->kind == SaleKind::kFree) {
    Refuse(RefusalKind::kConflict, "free minutes were not sold: there is nothing to void");
  }
  if (sale->voided) {
    Refuse(RefusalKind::kConflict, "the sale was voided already");
  }
  auto shift = c.record.OpenShift();
  if (!shift) {
    Refuse(RefusalKind::kConflict, "no shift is open to take the void: open one first");
  }
  Money amount =
      VoidAmount(*sale, c.record.SalesOf(sale->session_id), c.record.RefundOf(sale->session_id));
  c.record.AddVoid(VoidRecord{.sale_id = sale->id,
                              .shift_id = shift->id,
                              .at = c.now,
                              .by = c.operator_name,
                              .amount = amount,
                              .reason = change.reason});
  std::string of_shift = sale->shift_id && *sale->shift_id != shift->id
                             ? ", of the earlier shift " + std::to_string(*sale->shift_id)
                             : "";
  std::string refunded =
      amount != sale->price ? " (" + MoneyText(sale->price - amount) + " was refunded)" : "";
  return {"void",
          "sale " + std::to_string(sale->id) + " of " + std::to_string(sale->minutes) + " min by " +
              sale->by + of_shift + ": " + MoneyText(amount) + " " + c.till.currency +
              " taken back" + refunded + "; reason: " + change.reason,
          sale->session_id};
}

TillChangeDone SetFreeMinutes(const TillContext& c, const TillChange& change) {
  c.record.SetFreeMinutesPerShift(change.minutes);
  return {"free minutes", "an operator may give " + std::to_string(change.minutes) +
                              " free minutes a shift (was " +
                              std::to_string(c.till.free_minutes_per_shift) + ")"};
}

Check ReadTimeUp(const RequestFields& fields, TillChange& change) {
  auto end = fields.Flag("end");
  auto grace = fields.Has("grace_seconds") ? fields.Integer("grace_seconds")
                                           : std::optional<int64_t>(change.time_up.grace_seconds);
  if (!end || !grace || *grace < 0 || *grace > kMaxTimeUpGraceSeconds) {
    return BadRequest(
        "'end' must be true (the console ends a session at its time up, after "
        "'grace_seconds', 0 to " +
        std::to_string(kMaxTimeUpGraceSeconds) +
        ") or false (sessions run on and the minutes over are sold at the end)");
  }
  change.time_up = TimeUpRule{*end, static_cast<int32_t>(*grace)};
  return std::nullopt;
}

TillChangeDone SetTimeUp(const TillContext& c, const TillChange& change) {
  c.record.SetTimeUp(change.time_up);
  return {"time up", change.time_up.end
                         ? "sessions end " + std::to_string(change.time_up.grace_seconds) +
                               " s after their time"
                         : "sessions run on; the minutes over are sold at the end"};
}

constexpr TillChangeRow kRows[] = {
    {Kind::kCurrency, "currency", {"currency"}, ReadCurrency, SetCurrency},
    {Kind::kTariff, "tariff", {"id", "name", "per_hour", "minimum"}, ReadTariff, SaveTariff},
    {Kind::kDeleteTariff, "delete_tariff", {"id"}, ReadRemoval, DeleteTariff},
    {Kind::kGroup, "group", {"id", "name", "tariff"}, ReadGroup, SaveGroup},
    {Kind::kDeleteGroup, "delete_group", {"id"}, ReadRemoval, DeleteGroup},
    {Kind::kAssign, "assign", {"stations", "group"}, ReadAssign, Assign},
    {Kind::kMac, "mac", {"station", "mac"}, ReadMac, SetMac},
    {Kind::kMacsFromNeighbours, "macs_from_neighbours", {}, ReadNothing, MacsFromNeighbours},
    {Kind::kVoid, "void", {"sale", "reason"}, ReadVoid, Void},
    {Kind::kFreeMinutes, "free_minutes", {"minutes"}, ReadFreeMinutes, SetFreeMinutes},
    {Kind::kTimeUp, "time_up", {"end", "grace_seconds"}, ReadTimeUp, SetTimeUp},
};

}  // namespace

std::span<const TillChangeRow> TillChangeRows() {
  return kRows;
}

const TillChangeRow& RowOf(TillChange::Kind kind) {
  for (const auto& row : kRows) {
    if (row.kind == kind) {
      return row;
    }
  }
  throw std::logic_error("a till change without a row");
}

Check ReadTillChange(const RequestFields& fields, TillChange& change) {
  auto name = fields.Text("change");
  for (const auto& row : kRows) {
    if (name == row.name) {
      change.kind = row.kind;
      return row.read(fields, change);
    }
  }
  std::string names;
  for (const auto& row : kRows) {
    names += (names.empty() ? "" : ", ") + std::string(row.name);
  }
  return BadRequest("'change' must be one of " + names);
}

std::vector<std::string> TillChangeFields() {
  std::vector<std::string> fields = {"change"};
  for (const auto& row : kRows) {
    for (auto field : row.fields) {
      if (!field.empty() && std::find(fields.begin(), fields.end(), field) == fields.end()) {
        fields.emplace_back(field);
      }
    }
  }
  return fields;
}

}  // namespace zalvo::console
