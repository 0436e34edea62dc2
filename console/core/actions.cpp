#include "console/core/actions.h"

#include <algorithm>
#include <iterator>

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
  auto minutes = fields.Integer("minutes");
  if (!minutes || *minutes < 1 || *minutes > kMaxSessionMinutes) {
    return BadRequest("'minutes' must be a whole number from 1 to " +
                      std::to_string(kMaxSessionMinutes));
  }
  request.minutes = static_cast<int32_t>(*minutes);
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

// A start or an added time goes only to a station that answered just
// before, or "anyway" to one the console restarted or started lately; and
// where the club sells by tariff, it is a sale priced now in the open shift.
// The sale is the plan's; the caller adds the session.
std::optional<ActionPlan> PlanSale(const ActionContext& c, ActionOutcome& outcome) {
  const ActionRequest& request = c.request;
  if (request.anyway && !c.booting) {
    Refuse(outcome, RefusalKind::kConflict,
           "not known to be restarting: \"anyway\" is only for a station the console restarted "
           "or started a session on lately");
    return std::nullopt;
  }
  if (!c.answered && !request.anyway) {
    Refuse(outcome, RefusalKind::kUnavailable, "the station does not answer");
    outcome.can_force = c.booting;
    return std::nullopt;
  }
  ActionPlan plan;
  if (c.till.tariffs.empty()) {
    return plan;
  }
  const Tariff* tariff = TariffOf(c.till, c.station.address);
  if (!tariff) {
    Refuse(outcome, RefusalKind::kConflict,
           "the station is in no group with a tariff: give it a group first");
    return std::nullopt;
  }
  auto shift = c.record.OpenShift();
  if (!shift) {
    Refuse(outcome, RefusalKind::kConflict, "no shift is open: open a shift first");
    return std::nullopt;
  }
  auto price = PriceOf(*tariff, request.minutes);
  if (!price) {
    Refuse(outcome, RefusalKind::kConflict,
           "the tariff '" + tariff->name + "' can't price " + std::to_string(request.minutes) +
               " minutes");
    return std::nullopt;
  }
  plan.sale = SaleRecord{0,
                         0,
                         shift->id,
                         c.now,
                         c.operator_name,
                         request.minutes,
                         *price,
                         tariff->name,
                         tariff->per_hour};
  return plan;
}

std::string PriceDetail(const ActionPlan& plan, const ActionContext& c) {
  return plan.sale ? ", " + MoneyText(plan.sale->price) + " " + c.till.currency : "";
}

std::optional<ActionPlan> PlanStart(const ActionContext& c, ActionOutcome& outcome) {
  if (c.station.session) {
    Refuse(outcome, RefusalKind::kConflict, "already rented: add minutes or end the session first");
    return std::nullopt;
  }
  auto plan = PlanSale(c, outcome);
  if (!plan) {
    return std::nullopt;
  }
  plan->session = NewSession(c.request.minutes, c.now, c.operator_name);
  plan->commands.push_back(wire::Sit(c.request.minutes));
  plan->detail = std::to_string(c.request.minutes) + " min" + PriceDetail(*plan, c);
  plan->booting = true;
  return plan;
}

std::optional<ActionPlan> PlanAdd(const ActionContext& c, ActionOutcome& outcome) {
  if (!c.station.session) {
    Refuse(outcome, RefusalKind::kConflict, "not rented: start a session first");
    return std::nullopt;
  }
  auto plan = PlanSale(c, outcome);
  if (!plan) {
    return std::nullopt;
  }
  Renewal renewal = AddMinutes(*c.station.session, c.request.minutes, c.now);
  plan->session = renewal.session;
  plan->commands.push_back(wire::Sit(renewal.sit_minutes));
  plan->detail = "+" + std::to_string(c.request.minutes) + " min, " +
                 std::to_string(renewal.sit_minutes) + " min from now" + PriceDetail(*plan, c);
  return plan;
}

// At an early end of a priced session, the refund of its unused minutes is
// offered: the request must say whether it is paid out or kept.
std::optional<ActionPlan> PlanEnd(const ActionContext& c, ActionOutcome& outcome) {
  const std::optional<RentalSession>& current = c.station.session;
  if (!current) {
    Refuse(outcome, RefusalKind::kConflict, "nothing to end");
    return std::nullopt;
  }
  ActionPlan plan;
  RefundOffer offer = RefundOfferFor(c.record, *current, c.now);
  if (offer.amount > 0) {
    outcome.refund_offer = offer;
    if (!c.request.refund) {
      Refuse(outcome, RefusalKind::kConflict,
             "a refund of " + MoneyText(offer.amount) + " for " + std::to_string(offer.minutes) +
                 " unused minutes is offered: pay it out or keep it");
      return std::nullopt;
    }
    auto shift = c.record.OpenShift();
    if (*c.request.refund && !shift) {
      Refuse(outcome, RefusalKind::kConflict,
             "no shift is open to pay the refund from: open one, or keep the refund");
      return std::nullopt;
    }
    plan.refund = RefundRecord{0,
                               current->record_id,
                               shift ? std::optional(shift->id) : std::nullopt,
                               c.now,
                               c.operator_name,
                               offer.minutes,
                               offer.amount,
                               *c.request.refund};
  }
  int32_t stands = StandsToEndNow(current, c.now);
  plan.session.emplace(std::nullopt);
  plan.commands.assign(static_cast<size_t>(stands), protocol::CommandText(protocol::kStand));
  plan.detail = std::to_string(stands) + " x STAND";
  if (plan.refund) {
    plan.detail += ", refund " + MoneyText(plan.refund->amount) + " " + c.till.currency +
                   (plan.refund->paid ? " paid out" : " kept");
  }
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
     .probes = true,
     .name = "start",
     .field = "minutes",
     .read = ReadMinutes,
     .plan = PlanStart},
    {.kind = K::kAdd,
     .probes = true,
     .name = "add",
     .field = "minutes",
     .read = ReadMinutes,
     .plan = PlanAdd},
    {.kind = K::kEnd, .name = "end", .field = "refund", .read = ReadRefund, .plan = PlanEnd},
    {.kind = K::kInfo, .name = "info", .plan = PlanCommand<protocol::kInfo>},
    {.kind = K::kWindows, .name = "windows", .plan = PlanCommand<protocol::kProcess>},
    {.kind = K::kKill, .name = "kill", .field = "caption", .read = ReadCaption, .plan = PlanKill},
    {.kind = K::kVolume,
     .name = "volume",
     .field = "volume",
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
     .field = "text",
     .read = ReadText,
     .plan = PlanMessage,
     .done = "sent"},
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
  std::vector<std::string> fields = {"action", "stations", "anyway", "confirm"};
  for (const auto& row : kRows) {
    if (!row.field.empty() && std::find(fields.begin(), fields.end(), row.field) == fields.end()) {
      fields.emplace_back(row.field);
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
  if (fields.Has("anyway")) {
    auto anyway = fields.Flag("anyway");
    if (!anyway || !row->probes) {
      return BadRequest("\"anyway\": true or false, only with " +
                        NamesWhere([](const ActionRow& r) { return r.probes; }, " or "));
    }
    request.anyway = *anyway;
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
  return RowOf(request.kind).field == "minutes" ? std::to_string(request.minutes) + " min" : "";
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

RefundOffer RefundOfferFor(Record& record, const RentalSession& session, Millis now) {
  std::vector<Sale> sold;
  for (const auto& sale : record.SalesOf(session.record_id)) {
    sold.push_back(Sale{sale.minutes, sale.price});
  }
  return RefundFor(sold, UnusedWholeMinutes(session.ends, now));
}

}  // namespace zalvo::console
