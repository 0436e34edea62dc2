#include "console/core/actions.h"

#include <algorithm>
#include <iterator>

#include "console/core/shift_report.h"
#include "console/core/wake.h"
#include "console/core/wire.h"
#include "protocol/commands.h"
#include "text/cp1251.h"

namespace zalvo::console {
namespace {

constexpr size_t kMaxCaption = 254;

void Refuse(ActionOutcome& outcome, RefusalKind kind, std::string text) {
  outcome.refusal = Refusal{kind, std::move(text)};
}

// The readers of the rows' fields.

Check ReadMinutes(const RequestFields& fields, ActionRequest& request) {
  // A JSON integer only: 15.0, 1e1 or "15" are refused, never rounded.
  auto minutes = fields.Integer("minutes");
  if (!minutes || *minutes < 1 || *minutes > kMaxSessionMinutes) {
    return BadRequest("'minutes' must be a whole number from 1 to " +
                      std::to_string(kMaxSessionMinutes));
  }
  request.minutes = static_cast<int32_t>(*minutes);
  return std::nullopt;
}

// A sale: minutes, or a package; to a member, whose balance pays, or in
// cash.
Check ReadSale(const RequestFields& fields, ActionRequest& request) {
  if (fields.Has("package")) {
    auto package = fields.Integer("package");
    if (!package || *package < 1) {
      return BadRequest("'package' must be a package's id");
    }
    if (fields.Has("minutes")) {
      return BadRequest("a sale is either 'minutes' or a 'package'");
    }
    request.package_id = *package;
  } else if (auto refused = ReadMinutes(fields, request)) {
    return refused;
  }
  if (fields.Has("member")) {
    auto member = fields.Integer("member");
    if (!member || *member < 1) {
      return BadRequest("'member' must be a member's id");
    }
    request.member_id = *member;
  }
  return std::nullopt;
}

Check ReadFree(const RequestFields& fields, ActionRequest& request) {
  if (auto refused = ReadMinutes(fields, request)) {
    return refused;
  }
  request.reason = fields.Text("reason").value_or("");
  return ReasonProblem(request.reason);
}

Check ReadTarget(const RequestFields& fields, ActionRequest& request) {
  auto to = fields.Text("to");
  auto stations = fields.Texts("stations");
  if (!to || to->empty() || !stations || stations->size() != 1) {
    return BadRequest(
        "a move names the station of the session in 'stations' and the one it goes to in 'to'");
  }
  request.to = *to;
  return std::nullopt;
}

Check ReadVolume(const RequestFields& fields, ActionRequest& request) {
  auto volume = fields.Integer("volume");
  if (!volume || *volume < 0 || *volume > 100) {
    return BadRequest("'volume' must be a whole number from 0 to 100");
  }
  request.volume = static_cast<int32_t>(*volume);
  return std::nullopt;
}

Check ReadCaption(const RequestFields& fields, ActionRequest& request) {
  auto caption = fields.Text("caption");
  if (!caption || caption->empty() || caption->size() > kMaxCaption * 2) {
    return BadRequest("'caption' must be a window caption");
  }
  request.caption = *caption;
  return std::nullopt;
}

Check ReadRefund(const RequestFields& fields, ActionRequest& request) {
  if (fields.Has("refund")) {
    request.refund = fields.Flag("refund");
    if (!request.refund) {
      return BadRequest("'refund' must be true (pay it out) or false (keep it)");
    }
  }
  return std::nullopt;
}

Check ReadReason(const RequestFields& fields, ActionRequest& request) {
  request.reason = fields.Text("reason").value_or("");
  return ReasonProblem(request.reason);
}

Check ReadUnkeyed(const RequestFields& fields, ActionRequest& request) {
  auto unkeyed = fields.Flag("unkeyed");
  if (!unkeyed) {
    return BadRequest("'unkeyed' must be true (installed without a key) or false");
  }
  request.unkeyed = *unkeyed;
  return std::nullopt;
}

Check ReadText(const RequestFields& fields, ActionRequest& request) {
  request.text = fields.Text("text").value_or("");
  if (auto problem = wire::MessageProblem(request.text)) {
    return BadRequest(*problem);
  }
  return std::nullopt;
}

// The plans. Each refuses what the station's state does not allow; then it
// says what to record and send.

ActionPlan Send(std::string command, std::string detail = "") {
  ActionPlan plan;
  plan.commands.push_back(std::move(command));
  plan.detail = std::move(detail);
  return plan;
}

template <const protocol::Command& kCommand>
std::optional<ActionPlan> PlanCommand(const ActionContext&, ActionOutcome&) {
  return Send(protocol::CommandText(kCommand));
}

bool Heard(const ActionContext& c, const std::string& address) {
  return std::find(c.heard.begin(), c.heard.end(), address) != c.heard.end();
}

// Minutes go only to a station that answered just before (a queued start
// or added time is carried out when the station is heard).
bool Reachable(const ActionContext& c, ActionOutcome& outcome) {
  if (!c.answered) {
    Refuse(outcome, RefusalKind::kUnavailable, "the station does not answer");
    outcome.can_queue = c.booting;
    return false;
  }
  return true;
}

// A station whose last session's end it has not confirmed yet takes no new
// one meanwhile.
bool NotEnding(const ActionContext& c, ActionOutcome& outcome) {
  if (c.station.ending) {
    Refuse(outcome, RefusalKind::kConflict,
           "the session is ending: start a new one once the station confirmed the end");
    return false;
  }
  return true;
}

std::optional<ShiftRecord> ShiftOpen(const ActionContext& c, ActionOutcome& outcome) {
  auto shift = c.record.OpenShift();
  if (!shift) {
    Refuse(outcome, RefusalKind::kConflict, "no shift is open: open a shift first");
  }
  return shift;
}

// Where the club sells by tariff, minutes (or a package) are a sale priced
// now in the open shift (the plan's; the caller adds the session), paid in
// cash, or from the balance of the member the session is sold to. The sale's
// minutes begin where the session's time ends (now, for a start). False when
// refused.
bool Sell(const ActionContext& c, ActionOutcome& outcome, ActionPlan& plan) {
  const std::optional<RentalSession>& session = c.station.session;
  int64_t member_id = c.request.member_id;
  if (session && session->member_id) {
    if (member_id != 0 && member_id != *session->member_id) {
      Refuse(outcome, RefusalKind::kConflict,
             "the session is paid from the balance of member " +
                 std::to_string(*session->member_id) + ", not of member " +
                 std::to_string(member_id));
      return false;
    }
    member_id = *session->member_id;
  } else if (session && member_id != 0) {
    Refuse(outcome, RefusalKind::kConflict,
           "the session is paid in cash: a balance pays for a session started for its member");
    return false;
  }
  if (c.till.tariffs.empty()) {
    if (c.request.package_id != 0 || member_id != 0) {
      Refuse(outcome, RefusalKind::kConflict, "the till sells nothing: it has no tariff");
      return false;
    }
    return true;
  }
  const Group* group = GroupOf(c.till, c.station.address);
  if (!group || !TariffOf(c.till, c.station.address)) {
    Refuse(outcome, RefusalKind::kConflict,
           "the station is in no group with a tariff: give it a group first");
    return false;
  }
  auto shift = ShiftOpen(c, outcome);
  if (!shift) {
    return false;
  }
  std::optional<Member> member;
  if (member_id != 0) {
    member = c.record.FindMember(member_id);
    if (!member || member->removed || member->anonymised) {
      Refuse(outcome, RefusalKind::kNotFound,
             "no member " + std::to_string(member_id) + " to sell to");
      return false;
    }
  }
  Refusal why;
  auto sale =
      SaleFor(c.till, *group,
              SaleAsked{c.request.minutes, c.request.package_id, member ? member->discount : 0},
              c.now, session ? session->ends : c.now, why);
  if (!sale) {
    outcome.refusal = why;
    return false;
  }
  if (member && sale->price > member->balance) {
    Refuse(outcome, RefusalKind::kConflict,
           MemberLabel(*member) + " has " + MoneyText(member->balance) + " " + c.till.currency +
               ": the sale costs " + MoneyText(sale->price) + "; top the balance up first");
    return false;
  }
  sale->shift_id = shift->id;
  sale->at = c.now;
  sale->by = c.operator_name;
  sale->member_id = member ? std::optional<int64_t>(member->id) : std::nullopt;
  plan.sale = std::move(sale);
  return true;
}

// Free minutes: at price 0 with their reason, in the open shift; an
// operator gives at most the till's allowance in a shift, an owner any.
bool Give(const ActionContext& c, ActionOutcome& outcome, ActionPlan& plan) {
  auto shift = ShiftOpen(c, outcome);
  if (!shift) {
    return false;
  }
  if (c.request.role != Role::kOwner) {
    int64_t given = FreeMinutesBy(c.record.ShiftSales(shift->id), c.operator_name);
    if (given + c.request.minutes > c.till.free_minutes_per_shift) {
      Refuse(outcome, RefusalKind::kNotAllowed,
             "an operator may give " + std::to_string(c.till.free_minutes_per_shift) +
                 " free minutes a shift; " + std::to_string(given) +
                 " were given in this one: ask an owner");
      return false;
    }
  }
  const Tariff* tariff = TariffOf(c.till, c.station.address);
  plan.sale = SaleRecord{.shift_id = shift->id,
                         .at = c.now,
                         .by = c.operator_name,
                         .minutes = c.request.minutes,
                         .tariff = tariff ? tariff->name : "",
                         .kind = SaleKind::kFree,
                         .reason = c.request.reason};
  return true;
}

std::string SaleDetail(const ActionPlan& plan, const ActionContext& c) {
  if (!plan.sale) {
    return "";
  }
  if (plan.sale->kind == SaleKind::kFree) {
    return ", free: " + plan.sale->reason;
  }
  return (plan.sale->kind == SaleKind::kPackage ? ", package " + plan.sale->tariff : "") + ", " +
         MoneyText(plan.sale->price) + " " + c.till.currency +
         (plan.sale->member_id
              ? " from the balance of member " + std::to_string(*plan.sale->member_id)
              : "");
}

// The plan's minutes (its sale's, or the request's where nothing is sold)
// begin a session on the free station ...
void Begin(const ActionContext& c, ActionPlan& plan) {
  int32_t minutes = plan.sale ? plan.sale->minutes : c.request.minutes;
  plan.session = NewSession(minutes, c.now, c.operator_name);
  if (plan.sale && plan.sale->kind != SaleKind::kFree) {
    (*plan.session)->member_id = plan.sale->member_id;
  }
  plan.commands.push_back(wire::Sit(minutes));
  plan.detail = std::to_string(minutes) + " min" + SaleDetail(plan, c);
  plan.booting = true;
}

// ... or are added to the rented station's session.
void Extend(const ActionContext& c, ActionPlan& plan) {
  int32_t minutes = plan.sale ? plan.sale->minutes : c.request.minutes;
  Renewal renewal = AddMinutes(*c.station.session, minutes, c.now);
  plan.session = renewal.session;
  plan.commands.push_back(wire::Sit(renewal.sit_minutes));
  plan.detail = "+" + std::to_string(minutes) + " min, " + std::to_string(renewal.sit_minutes) +
                " min from now" + SaleDetail(plan, c);
}

std::optional<ActionPlan> PlanStart(const ActionContext& c, ActionOutcome& outcome) {
  if (c.station.session) {
    Refuse(outcome, RefusalKind::kConflict, "already rented: add minutes or end the session first");
    return std::nullopt;
  }
  ActionPlan plan;
  if (!NotEnding(c, outcome) || !Reachable(c, outcome) || !Sell(c, outcome, plan)) {
    return std::nullopt;
  }
  Begin(c, plan);
  return plan;
}

std::optional<ActionPlan> PlanAdd(const ActionContext& c, ActionOutcome& outcome) {
  if (!c.station.session) {
    Refuse(outcome, RefusalKind::kConflict, "not rented: start a session first");
    return std::nullopt;
  }
  ActionPlan plan;
  if (!NotEnding(c, outcome) || !Reachable(c, outcome) || !Sell(c, outcome, plan)) {
    return std::nullopt;
  }
  Extend(c, plan);
  return plan;
}

// Free minutes go to the station's customer: added to its session, or a
// session begun on a free station.
std::optional<ActionPlan> PlanFree(const ActionContext& c, ActionOutcome& outcome) {
  ActionPlan plan;
  if (!NotEnding(c, outcome) || !Reachable(c, outcome) || !Give(c, outcome, plan)) {
    return std::nullopt;
  }
  if (c.station.session) {
    Extend(c, plan);
  } else {
    Begin(c, plan);
  }
  return plan;
}

// The one way a session is ended on its station, for an end and for a move
// (at the station it leaves): the STANDs that end it, and the end asked of
// the station, recorded once the station confirms it (`session_id` is the
// record's session it ends; 0 for one the record doesn't have there). What
// the record settles then is the caller's (see ActionPlan).
ActionPlan EndOnStation(const ActionContext& c, int64_t session_id) {
  ActionPlan plan;
  plan.ending = PendingEnd{.session_id = session_id, .asked = c.now, .by = c.operator_name};
  int32_t stands = StandsToEnd(c.station, c.now);
  plan.commands.assign(static_cast<size_t>(stands), protocol::CommandText(protocol::kStand));
  plan.detail = std::to_string(stands) + " x STAND";
  return plan;
}

// The minutes over a session's time sold at its end, where the club is
// paid afterwards (no end at time up): at the station's tariff, each minute
// at the period it ran in, in the open shift. A member's session is never
// sold its minutes over (see MaySellOverrun).
std::optional<SaleRecord> OverrunSale(const ActionContext& c, const RentalSession& session,
                                      ActionOutcome& outcome) {
  int32_t minutes = OverrunMinutes(session, c.now);
  if (EndsAtTimeUp(c.till.time_up, session) || c.till.tariffs.empty() || minutes == 0) {
    return std::nullopt;
  }
  const Tariff* tariff = TariffOf(c.till, c.station.address);
  auto shift = c.record.OpenShift();
  auto priced = tariff ? PriceOf(*tariff, session.ends, minutes) : std::nullopt;
  if (!tariff || !shift || !priced) {
    Refuse(outcome, RefusalKind::kConflict,
           std::to_string(minutes) + " minutes over the time are to be sold: " +
               (!tariff  ? std::string("give the station a group with a tariff first")
                : !shift ? std::string("open a shift first")
                         : "the tariff '" + tariff->name + "' can't price them"));
    return std::nullopt;
  }
  SaleRecord sale{.shift_id = shift->id,
                  .at = c.now,
                  .by = c.operator_name,
                  .minutes = minutes,
                  .price = priced->price,
                  .tariff = tariff->name,
                  .per_hour = priced->parts.empty() ? 0 : priced->parts[0].per_hour};
  // One price for all its minutes needs no parts.
  if (priced->parts.size() > 1) {
    sale.parts = std::move(priced->parts);
  }
  return sale;
}

// An end asks the station with its "ACTION STAND"s and is recorded once the
// station confirms it (the station shows "ending" until then). At an early
// end of a priced session the refund of its unused minutes is offered: the
// request must say whether it is paid out or kept, and the cash moves when
// the end is confirmed. A station in a session the record doesn't have is
// ended the same way, with nothing sold or refunded.
std::optional<ActionPlan> PlanEnd(const ActionContext& c, ActionOutcome& outcome) {
  const std::optional<RentalSession>& current = c.station.session;
  if (c.station.ending) {
    Refuse(outcome, RefusalKind::kConflict,
           "already ending: the end goes to the station again whenever it is heard, until it "
           "holds");
    return std::nullopt;
  }
  if (!current && !(c.station.state && c.station.state->running)) {
    Refuse(outcome, RefusalKind::kConflict, "nothing to end");
    return std::nullopt;
  }
  std::optional<RefundRecord> refund;
  std::optional<SaleRecord> overrun;
  if (current) {
    RefundOffer offer = RefundOfferFor(c.record, *current, c.now);
    if (offer.amount > 0 && current->member_id) {
      // A member's refund goes back to the balance once the end is settled:
      // nothing to choose.
      refund = RefundRecord{.session_id = current->record_id,
                            .at = c.now,
                            .by = c.operator_name,
                            .minutes = offer.minutes,
                            .amount = offer.amount,
                            .paid = true,
                            .member_id = current->member_id};
    } else if (offer.amount > 0) {
      outcome.refund_offer = offer;
      if (!c.request.refund) {
        Refuse(outcome, RefusalKind::kConflict,
               "a refund of " + MoneyText(offer.amount) + " for " + std::to_string(offer.minutes) +
                   " unused minutes is offered: pay it out or keep it");
        return std::nullopt;
      }
      if (*c.request.refund && !c.record.OpenShift()) {
        Refuse(outcome, RefusalKind::kConflict,
               "no shift is open to pay the refund from: open one, or keep the refund");
        return std::nullopt;
      }
      refund = RefundRecord{.session_id = current->record_id,
                            .at = c.now,
                            .by = c.operator_name,
                            .minutes = offer.minutes,
                            .amount = offer.amount,
                            .paid = *c.request.refund};
    }
    overrun = OverrunSale(c, *current, outcome);
    if (outcome.refusal) {
      return std::nullopt;
    }
  }
  ActionPlan plan = EndOnStation(c, current ? current->record_id : 0);
  plan.refund = refund;
  plan.sale = overrun;
  if (!current) {
    plan.detail += ", a session the record doesn't have";
  }
  if (plan.sale) {
    plan.detail += ", " + std::to_string(plan.sale->minutes) + " min over sold for " +
                   MoneyText(plan.sale->price) + " " + c.till.currency;
  }
  if (plan.refund) {
    plan.detail += ", refund " + MoneyText(plan.refund->amount) + " " + c.till.currency +
                   (plan.refund->member_id
                        ? " to the balance of member " + std::to_string(*plan.refund->member_id)
                    : plan.refund->paid ? " to pay out"
                                        : " kept");
  }
  return plan;
}

// The session goes on at another station that answered the probe just
// before: with its time left and its sales, and without a refund. The new
// station is started first; then the session ends at the old one, as an end
// ends it. Where the new station does not answer, nothing moves.
std::optional<ActionPlan> PlanMove(const ActionContext& c, ActionOutcome& outcome) {
  const std::optional<RentalSession>& current = c.station.session;
  if (!current) {
    Refuse(outcome, RefusalKind::kConflict, "not rented: nothing to move");
    return std::nullopt;
  }
  if (!NotEnding(c, outcome)) {
    return std::nullopt;
  }
  const Station* target = c.room.Find(c.request.to);
  if (!target) {
    Refuse(outcome, RefusalKind::kNotFound, "no station at '" + c.request.to + "'");
    return std::nullopt;
  }
  std::string there = target->name + " (" + target->address + ")";
  if (target->address == c.station.address) {
    Refuse(outcome, RefusalKind::kBadRequest, "a session moves to another station");
    return std::nullopt;
  }
  if (target->unknown) {
    Refuse(outcome, RefusalKind::kConflict, there + " is an unknown station: adopt it first");
    return std::nullopt;
  }
  if (target->session || target->ending) {
    Refuse(outcome, RefusalKind::kConflict,
           there + (target->session ? " is rented: end its session first"
                                    : " is ending a session: move once it ended"));
    return std::nullopt;
  }
  if (!Heard(c, target->address)) {
    Refuse(outcome, RefusalKind::kUnavailable, there + " does not answer: nothing was moved");
    return std::nullopt;
  }
  // Its time left in whole minutes rounded up, as an added time is given,
  // so that the new station never has less than the console shows.
  Renewal moved = AddMinutes(*current, 0, c.now);
  if (moved.sit_minutes <= 0) {
    Refuse(outcome, RefusalKind::kConflict, "the session's time is up: nothing to move");
    return std::nullopt;
  }
  // The record's session goes with it; the end here is the station's word
  // all the same (the station shows "ending" until it confirms it).
  ActionPlan plan = EndOnStation(c, 0);
  plan.session.emplace(std::nullopt);
  plan.ending->moved_to = there;
  plan.move = SessionMove{target->address,
                          {wire::Sit(moved.sit_minutes)},
                          moved.session,
                          MoveRecord{.session_id = current->record_id,
                                     .at = c.now,
                                     .by = c.operator_name,
                                     .from_address = c.station.address,
                                     .from_station = c.station.name,
                                     .to_address = target->address,
                                     .to_station = target->name,
                                     .minutes = moved.sit_minutes}};
  plan.detail =
      "to " + there + ", " + std::to_string(moved.sit_minutes) + " min left; " + plan.detail;
  return plan;
}

// An owner closes the record of a session whose end the station does not
// confirm (a dead PC): the session ends on record, its pending refund is
// settled, and the end still goes to the station if it comes back.
std::optional<ActionPlan> PlanClose(const ActionContext& c, ActionOutcome& outcome) {
  if (!c.station.session || !c.station.ending) {
    Refuse(outcome, RefusalKind::kConflict,
           "close is for a session whose end the station has not confirmed: end it first");
    return std::nullopt;
  }
  ActionPlan plan;
  plan.session.emplace(std::nullopt);
  plan.close_reason = c.request.reason;
  plan.detail = "session " + std::to_string(c.station.session->record_id) + " closed without " +
                "the station's word: " + c.request.reason;
  return plan;
}

// A station still installed without a key is sent plain commands, and its
// datagrams are taken unverified; marked back, it is signed for again.
std::optional<ActionPlan> PlanUnkeyed(const ActionContext& c, ActionOutcome& outcome) {
  if (!c.keyed) {
    Refuse(outcome, RefusalKind::kConflict,
           "the console runs without the club key: no station is verified until it has one");
    return std::nullopt;
  }
  ActionPlan plan;
  plan.unkeyed = c.request.unkeyed;
  plan.detail = c.request.unkeyed ? "plain commands, its datagrams unverified" : "signed commands";
  return plan;
}

std::optional<ActionPlan> PlanKill(const ActionContext& c, ActionOutcome&) {
  return Send(wire::Kill(text::Utf8ToCp1251(c.request.caption)), c.request.caption);
}

std::optional<ActionPlan> PlanVolume(const ActionContext& c, ActionOutcome&) {
  return Send(wire::Volume(c.request.volume), std::to_string(c.request.volume) + " %");
}

std::optional<ActionPlan> PlanMessage(const ActionContext& c, ActionOutcome&) {
  return Send(wire::Message(text::Utf8ToCp1251(c.request.text)), c.request.text);
}

std::optional<ActionPlan> PlanReboot(const ActionContext&, ActionOutcome&) {
  ActionPlan plan = Send(protocol::CommandText(protocol::kReboot));
  plan.booting = true;
  return plan;
}

std::optional<ActionPlan> PlanPowerOn(const ActionContext& c, ActionOutcome& outcome) {
  auto known = c.macs.find(c.station.address);
  auto mac = known == c.macs.end() ? std::nullopt : ParseMac(known->second);
  if (!mac) {
    Refuse(outcome, RefusalKind::kConflict,
           "no MAC address is known for the station: enter it first");
    return std::nullopt;
  }
  ActionPlan plan;
  plan.wake = MagicPacket(*mac);
  plan.detail = known->second + " to " + c.wake_address + ":" + std::to_string(c.wake_port);
  plan.booting = true;
  return plan;
}

using K = ActionKind;

constexpr ActionRow kRows[] = {
    {.kind = K::kStart,
     .probes = Probe::kStations,
     .name = "start",
     .fields = {"minutes", "package", "member"},
     .read = ReadSale,
     .plan = PlanStart},
    {.kind = K::kAdd,
     .probes = Probe::kStations,
     .name = "add",
     .fields = {"minutes", "package", "member"},
     .read = ReadSale,
     .plan = PlanAdd},
    {.kind = K::kEnd, .name = "end", .fields = {"refund"}, .read = ReadRefund, .plan = PlanEnd},
    {.kind = K::kInfo, .name = "info", .plan = PlanCommand<protocol::kInfo>},
    {.kind = K::kWindows, .name = "windows", .plan = PlanCommand<protocol::kProcess>},
    {.kind = K::kKill,
     .name = "kill",
     .fields = {"caption"},
     .read = ReadCaption,
     .plan = PlanKill},
    {.kind = K::kVolume,
     .name = "volume",
     .fields = {"volume"},
     .read = ReadVolume,
     .plan = PlanVolume},
    {.kind = K::kMonitorOff, .name = "monitor_off", .plan = PlanCommand<protocol::kMonitorOff>},
    {.kind = K::kMonitorOn, .name = "monitor_on", .plan = PlanCommand<protocol::kMonitorOn>},
    {.kind = K::kReboot,
     .role = Role::kOwner,
     .confirm = true,
     .name = "reboot",
     .plan = PlanReboot},
    {.kind = K::kShutdown,
     .role = Role::kOwner,
     .confirm = true,
     .name = "shutdown",
     .plan = PlanCommand<protocol::kShutdown>},
    {.kind = K::kPowerOn, .name = "power_on", .plan = PlanPowerOn},
    {.kind = K::kMessage,
     .name = "message",
     .fields = {"text"},
     .read = ReadText,
     .plan = PlanMessage,
     .done = "sent"},
    {.kind = K::kMove,
     .probes = Probe::kTarget,
     .name = "move",
     .fields = {"to"},
     .read = ReadTarget,
     .plan = PlanMove},
    {.kind = K::kFree,
     .probes = Probe::kStations,
     .name = "free",
     .fields = {"minutes", "reason"},
     .read = ReadFree,
     .plan = PlanFree},
    {.kind = K::kClose,
     .role = Role::kOwner,
     .confirm = true,
     .name = "close",
     .fields = {"reason"},
     .read = ReadReason,
     .plan = PlanClose},
    {.kind = K::kUnkeyed,
     .role = Role::kOwner,
     .confirm = true,
     .name = "unkeyed",
     .fields = {"unkeyed"},
     .read = ReadUnkeyed,
     .plan = PlanUnkeyed},
};

// The rows in the order of their kinds, so that a kind finds its row.
constexpr bool RowsInKindOrder() {
  for (size_t i = 0; i < std::size(kRows); ++i) {
    if (static_cast<size_t>(kRows[i].kind) != i) {
      return false;
    }
  }
  return true;
}
static_assert(RowsInKindOrder(), "the rows follow ActionKind");

std::string NamesWhere(bool (*which)(const ActionRow&), const char* last_joint) {
  std::vector<std::string_view> names;
  for (const auto& row : kRows) {
    if (which(row)) {
      names.push_back(row.name);
    }
  }
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i) {
    joined += i == 0 ? "" : i + 1 == names.size() ? last_joint : ", ";
    joined += names[i];
  }
  return joined;
}

}  // namespace

std::span<const ActionRow> ActionRows() {
  return kRows;
}

const ActionRow& RowOf(ActionKind kind) {
  return kRows[static_cast<size_t>(kind)];
}

const ActionRow* FindAction(std::string_view name) {
  for (const auto& row : kRows) {
    if (row.name == name) {
      return &row;
    }
  }
  return nullptr;
}

const char* ActionName(ActionKind kind) {
  return RowOf(kind).name.data();
}

std::string ActionNames() {
  return NamesWhere([](const ActionRow&) { return true; }, ", ");
}

std::vector<std::string> ActionFields() {
  std::vector<std::string> fields = {"action", "stations", "queue", "confirm"};
  for (const auto& row : kRows) {
    for (auto field : row.fields) {
      if (!field.empty() && std::find(fields.begin(), fields.end(), field) == fields.end()) {
        fields.emplace_back(field);
      }
    }
  }
  return fields;
}

bool RoleMay(Role role, Role needed) {
  return role == Role::kOwner || needed == Role::kOperator;
}

Refusal OwnersOnly() {
  return {RefusalKind::kNotAllowed, "refused: only an owner may do that"};
}

Refusal RecordFailed(const RecordError& e) {
  return {RefusalKind::kFailed, std::string("not done, the record failed: ") + e.what()};
}

Check ReadAction(const RequestFields& fields, Role role, ActionRequest& request) {
  auto name = fields.Text("action");
  const ActionRow* row = name ? FindAction(*name) : nullptr;
  if (!row) {
    return BadRequest("'action' must be one of " + ActionNames());
  }
  if (!RoleMay(role, row->role)) {
    return OwnersOnly();
  }
  request.kind = row->kind;
  request.role = role;
  if (fields.Has("queue")) {
    auto queue = fields.Flag("queue");
    if (!queue || row->probes != Probe::kStations) {
      return BadRequest(
          "\"queue\": true or false, only with " +
          NamesWhere([](const ActionRow& r) { return r.probes == Probe::kStations; }, " or "));
    }
    request.queue = *queue;
  }
  if (row->read) {
    if (auto refused = row->read(fields, request)) {
      return refused;
    }
  }
  if (row->confirm && fields.Flag("confirm") != true) {
    return BadRequest(NamesWhere([](const ActionRow& r) { return r.confirm; }, " and ") +
                      " need \"confirm\": true");
  }
  return ReadStations(fields, request.stations);
}

Check ReadStations(const RequestFields& fields, std::vector<std::string>& stations,
                   bool may_be_empty) {
  auto texts = fields.Texts("stations");
  if (!texts || (texts->empty() && !may_be_empty) || texts->size() > kMaxStationsPerRequest) {
    return BadRequest("'stations' must be a list of station addresses");
  }
  stations = std::move(*texts);
  return std::nullopt;
}

std::string RequestDetail(const ActionRequest& request) {
  std::string_view field = RowOf(request.kind).fields[0];
  std::string member =
      request.member_id != 0 ? ", member " + std::to_string(request.member_id) : "";
  if (field == "minutes" && request.package_id != 0) {
    return "package " + std::to_string(request.package_id) + member;
  }
  return field == "minutes"  ? std::to_string(request.minutes) + " min" + member
         : field == "to"     ? "to " + request.to
         : field == "reason" ? request.reason
                             : "";
}

const Tariff* TariffOf(const TillSetup& till, const std::string& address) {
  auto member = till.members.find(address);
  if (member == till.members.end()) {
    return nullptr;
  }
  for (const auto& group : till.groups) {
    if (group.id == member->second) {
      for (const auto& tariff : till.tariffs) {
        if (tariff.id == group.tariff_id) {
          return &tariff;
        }
      }
    }
  }
  return nullptr;
}

const Group* GroupOf(const TillSetup& till, const std::string& address) {
  auto member = till.members.find(address);
  if (member == till.members.end()) {
    return nullptr;
  }
  for (const auto& group : till.groups) {
    if (group.id == member->second) {
      return &group;
    }
  }
  return nullptr;
}

std::optional<SaleRecord> SaleFor(const TillSetup& till, const Group& group, const SaleAsked& asked,
                                  Millis now, Millis from, Refusal& why) {
  SaleRecord sale;
  if (asked.package_id != 0) {
    auto package = std::find_if(till.packages.begin(), till.packages.end(),
                                [&](const Package& p) { return p.id == asked.package_id; });
    if (package == till.packages.end()) {
      why = NotFound("no such package");
      return std::nullopt;
    }
    if (std::find(package->groups.begin(), package->groups.end(), group.id) ==
        package->groups.end()) {
      why = Conflict("'" + package->name + "' is not sold in the group '" + group.name + "'");
      return std::nullopt;
    }
    std::string not_now;
    auto minutes = PackageMinutes(*package, now, from, not_now);
    if (!minutes) {
      why = Conflict(not_now);
      return std::nullopt;
    }
    sale.minutes = *minutes;
    sale.price = package->price;
    sale.tariff = package->name;
    sale.kind = SaleKind::kPackage;
    sale.refundable = package->refundable;
  } else {
    auto tariff = std::find_if(till.tariffs.begin(), till.tariffs.end(),
                               [&](const Tariff& t) { return t.id == group.tariff_id; });
    if (tariff == till.tariffs.end()) {
      why = Conflict("the group '" + group.name + "' has no tariff");
      return std::nullopt;
    }
    auto priced = PriceOf(*tariff, from, asked.minutes);
    if (!priced) {
      why = Conflict("the tariff '" + tariff->name + "' can't price " +
                     std::to_string(asked.minutes) + " minutes");
      return std::nullopt;
    }
    sale.minutes = asked.minutes;
    sale.price = priced->price;
    sale.tariff = tariff->name;
    sale.per_hour = priced->parts.empty() ? 0 : priced->parts[0].per_hour;
    // One price for all its minutes needs no parts.
    if (priced->parts.size() > 1) {
      sale.parts = std::move(priced->parts);
    }
  }
  sale.price = Discounted(sale.price, asked.discount);
  return sale;
}

bool MaySellOverrun(const RentalSession& session) {
  return !session.member_id;
}

bool EndsAtTimeUp(const TimeUpRule& rule, const RentalSession& session) {
  return rule.end || !MaySellOverrun(session);
}

int32_t OverrunMinutes(const RentalSession& session, Millis now) {
  if (now <= session.ends) {
    return 0;
  }
  int64_t minutes = (now - session.ends + 59'999) / 60'000;
  return static_cast<int32_t>(std::min<int64_t>(minutes, kMaxSessionMinutes));
}

std::vector<Sale> SalesStanding(const std::vector<SaleRecord>& sales) {
  std::vector<Sale> standing;
  for (const auto& sale : sales) {
    if (!sale.voided) {
      standing.push_back(Sale{sale.minutes, sale.price, sale.parts, sale.refundable});
    }
  }
  return standing;
}

RefundOffer RefundOfferFor(Record& record, const RentalSession& session, Millis now) {
  return RefundFor(SalesStanding(record.SalesOf(session.record_id)),
                   UnusedWholeMinutes(session.ends, now));
}

Money VoidAmount(const SaleRecord& sale, const std::vector<SaleRecord>& session_sales,
                 const std::optional<RefundRecord>& refund) {
  if (!refund || !refund->paid) {
    return sale.price;
  }
  std::vector<Sale> standing;
  std::optional<size_t> index;
  for (const auto& s : session_sales) {
    if (s.voided && s.voided_at <= refund->at) {
      continue;  // not refunded: it was voided first
    }
    if (s.id == sale.id) {
      index = standing.size();
    }
    standing.push_back(Sale{s.minutes, s.price, s.parts, s.refundable});
  }
  if (!index) {
    return sale.price;
  }
  return sale.price - RefundShares(standing, refund->minutes)[*index];
}

Check ReasonProblem(const std::string& reason) {
  size_t characters = 0;
  bool blank = true;
  for (unsigned char c : reason) {
    if (c < 0x20 || c == 0x7F) {
      return BadRequest("a reason is one line of text");
    }
    characters += (c & 0xC0) != 0x80 ? 1 : 0;
    blank = blank && c == ' ';
  }
  if (blank || characters > 200) {
    return BadRequest("'reason' must say why, in 1 to 200 characters");
  }
  return std::nullopt;
}

}  // namespace zalvo::console
