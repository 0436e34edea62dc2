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

// A tariff: its name, minimum, and either its periods ("Mon-Fri
// 08:00-18:00 2.50", ...) or one price per hour for the whole week.
Check ReadTariff(const RequestFields& fields, TillChange& change) {
  change.tariff.id = OptionalId(fields);
  change.tariff.name = fields.Text("name").value_or("");
  auto minimum = fields.Has("minimum") ? Amount(fields, "minimum") : std::optional<Money>(0);
  auto periods = fields.Texts("periods");
  auto per_hour = Amount(fields, "per_hour");
  if (change.tariff.id < 0 || !minimum || fields.Has("periods") == fields.Has("per_hour") ||
      (fields.Has("periods") && (!periods || periods->empty() || periods->size() > kMaxPeriods)) ||
      (fields.Has("per_hour") && !per_hour)) {
    return BadRequest(
        "a tariff needs 'name', 'minimum' and either 'per_hour' or 'periods' (1 to " +
        std::to_string(kMaxPeriods) +
        " texts such as \"Mon-Fri 08:00-18:00 2.50\"), amounts such as \"3.50\" (at most " +
        MoneyText(kMaxHourPrice) + ")");
  }
  change.tariff.minimum = *minimum;
  if (per_hour) {
    change.tariff.periods = {TariffPeriod{kEveryDay, 0, 0, *per_hour}};
    return std::nullopt;
  }
  for (size_t i = 0; i < periods->size(); ++i) {
    std::string why;
    auto period = ParsePeriod((*periods)[i], why);
    if (!period) {
      return BadRequest("period " + std::to_string(i + 1) + ": " + why);
    }
    change.tariff.periods.push_back(*period);
  }
  return std::nullopt;
}

Check ReadRemoval(const RequestFields& fields, TillChange& change) {
  auto id = Id(fields, "id");
  if (!id) {
    return BadRequest("'id' must name what to remove");
  }
  change.tariff.id = *id;
  change.group.id = *id;
  change.package.id = *id;
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

// "3.00 per hour, minimum 0.00" for one price all week, else the periods.
std::string TariffText(const Tariff& tariff) {
  const auto& periods = tariff.periods;
  if (periods.size() == 1 && periods[0].days == kEveryDay && periods[0].from == periods[0].to) {
    return MoneyText(periods[0].per_hour) + " per hour, minimum " + MoneyText(tariff.minimum);
  }
  std::string text;
  for (const auto& period : periods) {
    text += (text.empty() ? "" : "; ") + PeriodText(period);
  }
  return text + " per hour, minimum " + MoneyText(tariff.minimum);
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
  // A sale paid from a balance is given back to it, not from the drawer.
  if (sale->member_id && amount > 0) {
    c.record.AddMemberMove(MemberMove{.member_id = *sale->member_id,
                                      .kind = MoveKind::kVoid,
                                      .at = c.now,
                                      .by = c.operator_name,
                                      .amount = amount,
                                      .shift_id = shift->id,
                                      .sale_id = sale->id});
  }
  std::string of_shift = sale->shift_id && *sale->shift_id != shift->id
                             ? ", of the earlier shift " + std::to_string(*sale->shift_id)
                             : "";
  std::string refunded =
      amount != sale->price ? " (" + MoneyText(sale->price - amount) + " was refunded)" : "";
  return {
      "void",
      "sale " + std::to_string(sale->id) + " of " + std::to_string(sale->minutes) + " min by " +
          sale->by + of_shift + ": " + MoneyText(amount) + " " + c.till.currency +
          (sale->member_id ? " back to the balance of member " + std::to_string(*sale->member_id)
                           : " taken back") +
          refunded + "; reason: " + change.reason,
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
        ") or false (sessions run on and the minutes over are sold at the end; a member's ends at "
        "its time)");
  }
  change.time_up = TimeUpRule{*end, static_cast<int32_t>(*grace)};
  return std::nullopt;
}

TillChangeDone SetTimeUp(const TillContext& c, const TillChange& change) {
  c.record.SetTimeUp(change.time_up);
  return {"time up", change.time_up.end
                         ? "sessions end " + std::to_string(change.time_up.grace_seconds) +
                               " s after their time"
                         : "sessions run on; the minutes over are sold at the end (a member's "
                           "session ends at its time)"};
}

// Packages.

Check ReadPackage(const RequestFields& fields, TillChange& change) {
  Package& p = change.package;
  p.id = OptionalId(fields);
  p.name = fields.Text("name").value_or("");
  auto price = Amount(fields, "price");
  auto groups = fields.Integers("groups");
  auto refundable = fields.Has("refundable") ? fields.Flag("refundable") : std::optional(true);
  if (p.id < 0 || !price || !groups || !refundable) {
    return BadRequest(
        "a package needs 'name', 'price' (an amount such as \"15.00\"), 'groups' (their ids), "
        "'refundable' (true or false) and either 'minutes' or 'window' (\"22:00-08:00\") with "
        "'last_sale' (\"05:00\")");
  }
  p.price = *price;
  p.groups = *groups;
  p.refundable = *refundable;
  if (fields.Has("minutes") == fields.Has("window") ||
      fields.Has("window") != fields.Has("last_sale")) {
    return BadRequest("a package is either 'minutes', or a 'window' with its 'last_sale'");
  }
  if (fields.Has("minutes")) {
    auto minutes = fields.Integer("minutes");
    if (!minutes || *minutes < 1 || *minutes > kMaxSessionMinutes) {
      return BadRequest("'minutes' must be a whole number from 1 to " +
                        std::to_string(kMaxSessionMinutes));
    }
    p.minutes = static_cast<int32_t>(*minutes);
    return std::nullopt;
  }
  auto window = fields.Text("window");
  auto last = fields.Text("last_sale");
  p.window = window && last ? ParseWindow(*window, *last) : std::nullopt;
  if (!p.window) {
    return BadRequest(
        "'window' is from-to, such as \"22:00-08:00\", and 'last_sale' a time "
        "such as \"05:00\"");
  }
  return std::nullopt;
}

std::string PackageText(const TillSetup& till, const Package& p) {
  std::string groups;
  for (int64_t id : p.groups) {
    const Group* group = FindGroup(till, id);
    groups += (groups.empty() ? "" : ", ") + (group ? group->name : std::to_string(id));
  }
  return MoneyText(p.price) + " for " +
         (p.window ? WindowText(*p.window) : std::to_string(p.minutes) + " min") +
         (p.refundable ? ", unused minutes refunded" : ", not refunded") + ", sold in " +
         (groups.empty() ? "no group" : groups);
}

const Package* FindPackage(const TillSetup& till, int64_t id) {
  auto found = std::find_if(till.packages.begin(), till.packages.end(),
                            [&](const Package& p) { return p.id == id; });
  return found == till.packages.end() ? nullptr : &*found;
}

TillChangeDone SavePackage(const TillContext& c, const TillChange& change) {
  const Package& p = change.package;
  if (auto problem = PackageProblem(p)) {
    Refuse(RefusalKind::kBadRequest, *problem);
  }
  for (int64_t group : p.groups) {
    if (!HasGroup(c.till, group)) {
      Refuse(RefusalKind::kNotFound, "no group " + std::to_string(group));
    }
  }
  const Package* before = p.id != 0 ? FindPackage(c.till, p.id) : nullptr;
  if (p.id != 0 && !before) {
    Refuse(RefusalKind::kNotFound, "no such package");
  }
  if (c.till.currency.empty()) {
    Refuse(RefusalKind::kConflict, "name the currency first");
  }
  c.record.SavePackage(p);
  if (!before) {
    return {"package added", p.name + ": " + PackageText(c.till, p)};
  }
  return {"package changed", Became(before->name, p.name) + ": " +
                                 Became(PackageText(c.till, *before), PackageText(c.till, p))};
}

TillChangeDone DeletePackage(const TillContext& c, const TillChange& change) {
  const Package* package = FindPackage(c.till, change.package.id);
  if (!package) {
    Refuse(RefusalKind::kNotFound, "no such package");
  }
  std::string name = package->name;
  c.record.DeletePackage(package->id);
  return {"package removed", name};
}

// Members. The log names a member by number only, so that anonymising one
// leaves no name behind.

Check ReadMember(const RequestFields& fields, TillChange& change) {
  Member& m = change.member;
  m.id = OptionalId(fields);
  m.name = fields.Text("name").value_or("");
  m.card = fields.Text("card").value_or("");
  m.phone = fields.Text("phone").value_or("");
  m.note = fields.Text("note").value_or("");
  change.discount_given = fields.Has("discount");
  auto discount = fields.Has("discount") ? fields.Integer("discount") : std::optional<int64_t>(0);
  if (m.id < 0 || !discount || *discount < 0 || *discount > 100) {
    return BadRequest(
        "a member needs a 'name'; 'card', 'phone' and 'note' are texts, "
        "'discount' a whole percent from 0 to 100");
  }
  m.discount = static_cast<int32_t>(*discount);
  return MemberProblem(m);
}

Check ReadMemberId(const RequestFields& fields, TillChange& change) {
  auto member = Id(fields, "member");
  if (!member) {
    return BadRequest("'member' must name a member by id");
  }
  change.member.id = *member;
  return std::nullopt;
}

Check ReadMemberAmount(const RequestFields& fields, TillChange& change) {
  if (auto refused = ReadMemberId(fields, change)) {
    return refused;
  }
  auto amount = Amount(fields, "amount");
  if (!amount || *amount <= 0) {
    return BadRequest("'amount' must be an amount above 0 such as \"20.00\" (at most " +
                      MoneyText(kMaxHourPrice) + ")");
  }
  change.amount = *amount;
  return std::nullopt;
}

// A member that is still one: found, not removed, not anonymised.
Member MemberOf(const TillContext& c, int64_t id) {
  auto member = c.record.FindMember(id);
  if (!member || member->removed) {
    Refuse(RefusalKind::kNotFound, "no member " + std::to_string(id));
  }
  if (member->anonymised) {
    Refuse(RefusalKind::kConflict, "member " + std::to_string(id) + " was anonymised");
  }
  return *member;
}

std::string MemberMoney(const TillContext& c, Money amount) {
  return MoneyText(amount) + " " + c.till.currency;
}

TillChangeDone SaveMember(const TillContext& c, const TillChange& change) {
  Member member = change.member;
  std::optional<Member> before;
  if (member.id != 0) {
    before = MemberOf(c, member.id);
  }
  int32_t discount_before = before ? before->discount : 0;
  if (!change.discount_given) {
    member.discount = discount_before;
  }
  if (member.discount != discount_before && change.role != Role::kOwner) {
    Refuse(RefusalKind::kNotAllowed, "only an owner sets a member's discount");
  }
  if (!member.card.empty()) {
    for (const auto& other : c.record.Members()) {
      if (other.id != member.id && !other.removed && other.card == member.card) {
        Refuse(RefusalKind::kConflict,
               "the card " + member.card + " is member " + std::to_string(other.id) + "'s");
      }
    }
  }
  int64_t id = c.record.SaveMember(member);
  if (!before) {
    return {"member added", "member " + std::to_string(id) + ", discount " +
                                std::to_string(member.discount) + " %"};
  }
  std::string changed;
  auto note = [&](bool differs, const std::string& what) {
    if (differs) {
      changed += (changed.empty() ? "" : ", ") + what;
    }
  };
  note(before->name != member.name, "name");
  note(before->card != member.card, "card");
  note(before->phone != member.phone, "phone");
  note(before->note != member.note, "note");
  note(before->discount != member.discount, "discount " + std::to_string(before->discount) +
                                                " -> " + std::to_string(member.discount) + " %");
  return {"member changed",
          "member " + std::to_string(id) + ": " + (changed.empty() ? "nothing changed" : changed)};
}

// A top-up is cash into the drawer, in the open shift.
TillChangeDone TopUp(const TillContext& c, const TillChange& change) {
  Member member = MemberOf(c, change.member.id);
  auto shift = c.record.OpenShift();
  if (!shift) {
    Refuse(RefusalKind::kConflict, "no shift is open to take the cash: open one first");
  }
  if (member.balance > kMaxBalance - change.amount) {
    Refuse(RefusalKind::kConflict, "a balance holds at most " + MemberMoney(c, kMaxBalance));
  }
  c.record.AddMemberMove(MemberMove{.member_id = member.id,
                                    .kind = MoveKind::kTopUp,
                                    .at = c.now,
                                    .by = c.operator_name,
                                    .amount = change.amount,
                                    .shift_id = shift->id});
  return {"top-up", "member " + std::to_string(member.id) + ": +" + MemberMoney(c, change.amount) +
                        " in cash, balance " + MemberMoney(c, member.balance + change.amount)};
}

// A pay-out is cash from the drawer, in the open shift: an owner's.
TillChangeDone Payout(const TillContext& c, const TillChange& change) {
  auto member = c.record.FindMember(change.member.id);
  if (!member) {
    Refuse(RefusalKind::kNotFound, "no member " + std::to_string(change.member.id));
  }
  auto shift = c.record.OpenShift();
  if (!shift) {
    Refuse(RefusalKind::kConflict, "no shift is open to pay from: open one first");
  }
  if (change.amount > member->balance) {
    Refuse(RefusalKind::kConflict, "member " + std::to_string(member->id) + " has " +
                                       MemberMoney(c, member->balance) + ": that is the most " +
                                       "to pay out");
  }
  c.record.AddMemberMove(MemberMove{.member_id = member->id,
                                    .kind = MoveKind::kPayout,
                                    .at = c.now,
                                    .by = c.operator_name,
                                    .amount = -change.amount,
                                    .shift_id = shift->id});
  return {"pay-out", "member " + std::to_string(member->id) + ": " + MemberMoney(c, change.amount) +
                         " paid out in cash, balance " +
                         MemberMoney(c, member->balance - change.amount)};
}

bool InSession(const TillContext& c, int64_t member_id) {
  return std::any_of(c.room.stations().begin(), c.room.stations().end(), [&](const Station& st) {
    return st.session && st.session->member_id == member_id;
  });
}

TillChangeDone RemoveMember(const TillContext& c, const TillChange& change) {
  auto member = c.record.FindMember(change.member.id);
  if (!member || member->removed) {
    Refuse(RefusalKind::kNotFound, "no member " + std::to_string(change.member.id));
  }
  if (member->balance != 0) {
    Refuse(RefusalKind::kConflict, "member " + std::to_string(member->id) + " has " +
                                       MemberMoney(c, member->balance) +
                                       ": pay the balance out first");
  }
  if (InSession(c, member->id)) {
    Refuse(RefusalKind::kConflict,
           "member " + std::to_string(member->id) + " has a session: end it first");
  }
  if (member->pending != 0) {
    Refuse(RefusalKind::kConflict, "member " + std::to_string(member->id) + " has a refund of " +
                                       MemberMoney(c, member->pending) +
                                       " to come back to the balance: open a shift first");
  }
  c.record.RemoveMember(member->id, c.now);
  return {"member removed", "member " + std::to_string(member->id)};
}

// On the member's request: what names the person goes; the money rows stay
// (a balance left stays the member's, by number).
TillChangeDone AnonymiseMember(const TillContext& c, const TillChange& change) {
  auto member = c.record.FindMember(change.member.id);
  if (!member) {
    Refuse(RefusalKind::kNotFound, "no member " + std::to_string(change.member.id));
  }
  if (member->anonymised) {
    Refuse(RefusalKind::kConflict, "member " + std::to_string(member->id) + " is anonymised");
  }
  c.record.AnonymiseMember(member->id, c.now);
  return {"member anonymised",
          "member " + std::to_string(member->id) +
              ": name, card, phone and note erased; the money rows stay (balance " +
              MemberMoney(c, member->balance) + ")"};
}

constexpr TillChangeRow kRows[] = {
    {.kind = Kind::kCurrency,
     .name = "currency",
     .fields = {"currency"},
     .read = ReadCurrency,
     .apply = SetCurrency},
    {.kind = Kind::kTariff,
     .name = "tariff",
     .fields = {"id", "name", "per_hour", "minimum", "periods"},
     .read = ReadTariff,
     .apply = SaveTariff},
    {.kind = Kind::kDeleteTariff,
     .name = "delete_tariff",
     .fields = {"id"},
     .read = ReadRemoval,
     .apply = DeleteTariff},
    {.kind = Kind::kGroup,
     .name = "group",
     .fields = {"id", "name", "tariff"},
     .read = ReadGroup,
     .apply = SaveGroup},
    {.kind = Kind::kDeleteGroup,
     .name = "delete_group",
     .fields = {"id"},
     .read = ReadRemoval,
     .apply = DeleteGroup},
    {.kind = Kind::kAssign,
     .name = "assign",
     .fields = {"stations", "group"},
     .read = ReadAssign,
     .apply = Assign},
    {.kind = Kind::kMac,
     .name = "mac",
     .fields = {"station", "mac"},
     .read = ReadMac,
     .apply = SetMac},
    {.kind = Kind::kMacsFromNeighbours,
     .name = "macs_from_neighbours",
     .read = ReadNothing,
     .apply = MacsFromNeighbours},
    {.kind = Kind::kVoid,
     .name = "void",
     .fields = {"sale", "reason"},
     .read = ReadVoid,
     .apply = Void},
    {.kind = Kind::kFreeMinutes,
     .name = "free_minutes",
     .fields = {"minutes"},
     .read = ReadFreeMinutes,
     .apply = SetFreeMinutes},
    {.kind = Kind::kTimeUp,
     .name = "time_up",
     .fields = {"end", "grace_seconds"},
     .read = ReadTimeUp,
     .apply = SetTimeUp},
    {.kind = Kind::kPackage,
     .name = "package",
     .fields = {"id", "name", "price", "minutes", "window", "last_sale", "refundable", "groups"},
     .read = ReadPackage,
     .apply = SavePackage},
    {.kind = Kind::kDeletePackage,
     .name = "delete_package",
     .fields = {"id"},
     .read = ReadRemoval,
     .apply = DeletePackage},
    {.kind = Kind::kMember,
     .role = Role::kOperator,
     .name = "member",
     .fields = {"id", "name", "card", "phone", "note", "discount"},
     .read = ReadMember,
     .apply = SaveMember},
    {.kind = Kind::kTopUp,
     .role = Role::kOperator,
     .name = "top_up",
     .fields = {"member", "amount"},
     .read = ReadMemberAmount,
     .apply = TopUp},
    {.kind = Kind::kPayout,
     .name = "payout",
     .fields = {"member", "amount"},
     .read = ReadMemberAmount,
     .apply = Payout},
    {.kind = Kind::kRemoveMember,
     .name = "remove_member",
     .fields = {"member"},
     .read = ReadMemberId,
     .apply = RemoveMember},
    {.kind = Kind::kAnonymiseMember,
     .name = "anonymise_member",
     .fields = {"member"},
     .read = ReadMemberId,
     .apply = AnonymiseMember},
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

Check ReadTillChange(const RequestFields& fields, Role role, TillChange& change) {
  const TillChangeRow* row = nullptr;
  if (auto refused = FindRow(std::span<const TillChangeRow>(kRows), fields, "change", role, row)) {
    return refused;
  }
  change.kind = row->kind;
  change.role = role;
  return row->read(fields, change);
}

std::vector<std::string> TillChangeFields() {
  return RowFields(std::span<const TillChangeRow>(kRows), "change");
}

}  // namespace zalvo::console
