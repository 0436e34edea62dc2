// The operators' actions on stations, as one table: each row is an action's
// name, who may do it, the fields of the request it reads and how it checks
// them, and what it does on one station (what it records, what it sends). The
// web layer reads requests through the table and the page takes its list
// from it; the console carries a row out the same way for every action. A
// new action is a kind below and a row in actions.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/billing.h"
#include "console/core/record.h"
#include "console/core/refusal.h"
#include "console/core/room.h"

namespace zalvo::console {

enum class ActionKind {
  kStart,
  kAdd,
  kEnd,
  kInfo,
  kWindows,
  kKill,
  kVolume,
  kMonitorOff,
  kMonitorOn,
  kReboot,
  kShutdown,
  kPowerOn,
  kMessage,
  kMove,
  kFree,
  kClose,
  kUnkeyed,
};

// What an operator asks for, for one or more stations.
struct ActionRequest {
  ActionKind kind = ActionKind::kInfo;
  std::vector<std::string> stations;  // addresses
  int32_t minutes = 0;                // start, add
  int64_t package_id = 0;             // start, add: a package instead of minutes
  int64_t member_id = 0;              // start, add: the member whose balance pays
  int32_t volume = 0;                 // volume
  std::string caption;                // kill, UTF-8
  std::string text;                   // message, UTF-8 (see wire::MessageProblem)
  // end: pay out (true) or keep (false) the refund offered for unused
  // minutes; a priced session ended early needs the answer.
  std::optional<bool> refund;
  // Start or add on a station that does not answer but is known to be
  // restarting: held until the station is heard, and only then carried out
  // (and sold); refused for any other station.
  bool queue = false;
  std::string to;               // move: the station the session goes on at
  std::string reason;           // free minutes, close: why (UTF-8)
  bool unkeyed = false;         // unkeyed: marked so (true) or not
  Role role = Role::kOperator;  // the asker's
};

// How an action, or a change the console was asked for, ended: done, or
// refused with the reason.
struct ActionOutcome {
  std::string address;  // the station's, for an action on stations
  std::optional<Refusal> refusal;
  std::optional<RefundOffer> refund_offer;  // end: what was offered
  // Refused because the station does not answer while it is known to be
  // restarting: the same request with "queue" would hold it for the
  // station.
  bool can_queue = false;
  // Done, but the station has not confirmed it yet: an end shown as
  // "ending" until it does, or a start held for the station.
  bool pending = false;
  // Done: what, in the log's words ("30 min, 1.50 BGN"), and the sale or
  // the refund it made.
  std::string done;
  std::optional<SaleRecord> sold;
  std::optional<RefundRecord> refunded;
  // A change of the room: what it changed, in words (the page shows it, so
  // that an owner sees what an edit made at the same time by another owner
  // became).
  std::string changed;

  bool ok() const { return !refusal; }
};

// A request's fields as the web layer read them (a JSON object there): each
// is nullopt when the field is absent or of another type.
class RequestFields {
 public:
  virtual ~RequestFields() = default;
  virtual bool Has(std::string_view name) const = 0;
  virtual std::optional<int64_t> Integer(std::string_view name) const = 0;
  virtual std::optional<std::string> Text(std::string_view name) const = 0;
  virtual std::optional<bool> Flag(std::string_view name) const = 0;
  virtual bool IsNull(std::string_view name) const = 0;
  // A list of texts (nullopt too when it holds anything else).
  virtual std::optional<std::vector<std::string>> Texts(std::string_view name) const = 0;
  // A list of integers (nullopt too when it holds anything else).
  virtual std::optional<std::vector<int64_t>> Integers(std::string_view name) const = 0;
};

// The most stations one request names.
inline constexpr size_t kMaxStationsPerRequest = 1024;
// The request's "stations": a list of addresses, at most
// kMaxStationsPerRequest, and not empty unless allowed.
Check ReadStations(const RequestFields& fields, std::vector<std::string>& stations,
                   bool may_be_empty = false);

// One station's part of an action, as its row sees it.
struct ActionContext {
  const std::string& operator_name;
  const ActionRequest& request;
  const Station& station;
  Millis now = 0;
  bool answered = false;  // the station answered the report asked for just before
  bool booting = false;   // the console restarted or started it lately
  bool keyed = false;     // the console has the club key
  Record& record;
  const TillSetup& till;
  const std::map<std::string, std::string>& macs;  // by address
  const std::string& wake_address;
  uint16_t wake_port = 0;
  const Room& room;
  const std::vector<std::string>& heard;  // every station that answered the probe
};

// The session going on at another station (a move): started there first,
// then ended at the station it leaves.
struct SessionMove {
  std::string to;                     // the address
  std::vector<std::string> commands;  // to that station, sent before the plan's own
  RentalSession session;              // its session there
  MoveRecord record;
};

// What an action does on one station, once its row found nothing to refuse:
// written to the record as one transaction (with the action's line), then
// the room's change, then the commands.
struct ActionPlan {
  std::vector<std::string> commands;  // to the station, in order
  std::string wake;                   // a magic packet to broadcast
  std::string detail;                 // the action log's detail
  // Set: the station's session becomes this one (nullopt: it ends on the
  // station; see EndOnStation).
  std::optional<std::optional<RentalSession>> session;
  std::optional<SaleRecord> sale;  // of the session above
  // What the record settles when the session ends: the refund offered (an
  // end), or the session going on elsewhere (a move); else it ends there.
  std::optional<RefundRecord> refund;
  std::optional<SessionMove> move;
  bool booting = false;  // the station may now restart for a while
  // The end asked of the station: sent with the commands (its "ACTION
  // STAND"s) and recorded once the station confirms it.
  std::optional<PendingEnd> ending;
  // With the session ended above: closed by an owner for this reason,
  // without the station's word (its end is still sent).
  std::string close_reason;
  std::optional<bool> unkeyed;  // the station marked so, or not
};

// Which stations are asked for their report before an action, which goes
// on only where they answer: none; the request's stations (a start, an
// added time); or the station
// named by "to" (a move); "queue" holds a start or an added time for a
// station known to be restarting.
enum class Probe { kNone, kStations, kTarget };

struct ActionRow {
  ActionKind kind = ActionKind::kInfo;
  Role role = Role::kOperator;  // the least role that may do it
  bool confirm = false;         // the request must carry "confirm": true
  Probe probes = Probe::kNone;
  std::string_view name = "";
  // The request's own fields (empty: none); the page fills the first from
  // its input of that name.
  std::array<std::string_view, 3> fields = {};
  // Reads the row's fields into the request (nullptr: it has none).
  Check (*read)(const RequestFields& fields, ActionRequest& request) = nullptr;
  // What the action does on one station; nullopt when refused (the
  // outcome then says why).
  std::optional<ActionPlan> (*plan)(const ActionContext& context, ActionOutcome& outcome) = nullptr;
  // What the page and the log say of it once carried out: "sent" where
  // nothing tells the console that the station did it.
  std::string_view done = "done";
};

std::span<const ActionRow> ActionRows();
const ActionRow& RowOf(ActionKind kind);
const ActionRow* FindAction(std::string_view name);
const char* ActionName(ActionKind kind);
// The names of the rows, "start, add, ...".
std::string ActionNames();
// The fields a request for an action may hold: "action", "stations",
// "queue", "confirm" and each row's own.
std::vector<std::string> ActionFields();

bool RoleMay(Role role, Role needed);
Refusal OwnersOnly();

// The change tables' rows (the till's, the room's), each with a kind, a
// name, the least role that may make it and its fields: the row the
// request's `key` field names, checked against the asker's role; or the
// refusal.
template <typename Row>
Check FindRow(std::span<const Row> rows, const RequestFields& fields, const char* key, Role role,
              const Row*& found) {
  auto name = fields.Text(key);
  for (const auto& row : rows) {
    if (name == row.name) {
      if (!RoleMay(role, row.role)) {
        return OwnersOnly();
      }
      found = &row;
      return std::nullopt;
    }
  }
  std::string names;
  for (const auto& row : rows) {
    names += (names.empty() ? "" : ", ") + std::string(row.name);
  }
  return BadRequest("'" + std::string(key) + "' must be one of " + names);
}
// Every field the rows' requests take, `key` first.
template <typename Row>
std::vector<std::string> RowFields(std::span<const Row> rows, const char* key) {
  std::vector<std::string> all = {key};
  for (const auto& row : rows) {
    for (auto field : row.fields) {
      if (!field.empty() && std::find(all.begin(), all.end(), field) == all.end()) {
        all.emplace_back(field);
      }
    }
  }
  return all;
}
// A change the record could not take.
Refusal RecordFailed(const RecordError& e);

// Reads the request's action, its fields and its stations through the
// table, and checks that the role may do it.
Check ReadAction(const RequestFields& fields, Role role, ActionRequest& request);
// The detail the log shows for a refused request.
std::string RequestDetail(const ActionRequest& request);

// The till's rules over the record: the tariff the station sells at (none
// outside a group), and what ending the session now gives back, its unused
// minutes at their prices.
const Tariff* TariffOf(const TillSetup& till, const std::string& address);
const Group* GroupOf(const TillSetup& till, const std::string& address);

// What a sale is asked for: minutes at the group's tariff, or a package;
// and the discount of the member it is sold to.
struct SaleAsked {
  int32_t minutes = 0;
  int64_t package_id = 0;
  int32_t discount = 0;
};
// The sale a station of the group would make sold at `now`, its minutes
// beginning at `from` (the session's end; now for a start): its minutes,
// price (the member's discount taken off after the minimum), tariff or
// package and parts; the caller adds its shift, time, operator and member.
// nullopt with the refusal when it can't be sold.
std::optional<SaleRecord> SaleFor(const TillSetup& till, const Group& group, const SaleAsked& asked,
                                  Millis now, Millis from, Refusal& why);

// Where a club sells the minutes a session runs over its time afterwards:
// whether this session's may be. A member's session never runs over: its
// balance paid for its time, and it ends at that time.
bool MaySellOverrun(const RentalSession& session);
// Whether the console ends the session at its time up (after the rule's
// grace): where the rule says so, and always for a session whose minutes over
// may not be sold.
bool EndsAtTimeUp(const TimeUpRule& rule, const RentalSession& session);
// Sales voided are not refunded.
RefundOffer RefundOfferFor(Record& record, const RentalSession& session, Millis now);
// The minutes a session has run over its time, a minute begun counted
// whole (0 before its end).
int32_t OverrunMinutes(const RentalSession& session, Millis now);

// A sale as the till's rules see it (minutes and price), without the sales
// voided.
std::vector<Sale> SalesStanding(const std::vector<SaleRecord>& sales);

// What a void of the sale takes back from the drawer: its price, less what
// of it the session's refund paid out (nullopt when there is none or it was
// kept); sales voided before that refund had no part in it.
Money VoidAmount(const SaleRecord& sale, const std::vector<SaleRecord>& session_sales,
                 const std::optional<RefundRecord>& refund);

// A reason given for a correction: 1 to 200 characters on one line.
Check ReasonProblem(const std::string& reason);

}  // namespace zalvo::console
