// The changes of the till, as one table like the actions': its set-up
// (currency, tariffs with their periods, groups, packages, MAC addresses, the
// operators' allowance of free minutes), its corrections (a void of a sale),
// and the members (added and changed, their balances topped up at the counter
// and paid out, removed, anonymised). Each row is a change's name, the least
// role that may make it, how its request is read and checked, and what it
// writes to the record (and says in the action log, and to the operator: what
// changed). A new change is a kind below and a row in till_changes.cpp.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/actions.h"
#include "console/core/billing.h"
#include "console/core/record.h"
#include "console/core/room.h"

namespace zalvo::console {

// A change of the till's set-up made on the page.
struct TillChange {
  enum class Kind {
    kCurrency,
    kTariff,
    kDeleteTariff,
    kGroup,
    kDeleteGroup,
    kAssign,
    kMac,                 // stations[0] gets `mac` (empty: none)
    kMacsFromNeighbours,  // stations without a MAC get the neighbour table's
    kVoid,                // the sale `sale_id` is voided, with the reason
    kFreeMinutes,         // an operator may give `minutes` free a shift
    kTimeUp,              // what the console does at a session's time up
    kPackage,
    kDeletePackage,
    kMember,          // a member added (id 0) or changed
    kTopUp,           // `amount` in cash into the member's balance
    kPayout,          // `amount` of the member's balance paid out in cash
    kRemoveMember,    // a member without a balance
    kAnonymiseMember  // name, card, phone and note erased
  };
  Kind kind = Kind::kTariff;
  std::string currency;
  Tariff tariff;                      // kTariff (id 0: a new one), kDeleteTariff (id)
  Group group;                        // kGroup (id 0: a new one), kDeleteGroup (id)
  std::vector<std::string> stations;  // kAssign
  std::optional<int64_t> group_id;    // kAssign; nullopt: no group
  std::string mac;                    // kMac
  int64_t sale_id = 0;                // kVoid
  std::string reason;                 // kVoid
  int32_t minutes = 0;                // kFreeMinutes
  TimeUpRule time_up;                 // kTimeUp
  Package package;                    // kPackage (id 0: a new one), kDeletePackage (id)
  Member member;                      // kMember (id 0: a new one), and the member's id
  bool discount_given = false;        // kMember: the request set the discount
  Money amount = 0;                   // kTopUp, kPayout
  Role role = Role::kOperator;        // the asker's
};

// What a change's row works on, with the console's lock held and inside the
// record's transaction.
struct TillContext {
  Record& record;
  const TillSetup& till;
  const Room& room;
  const std::map<std::string, std::string>& macs;  // by address
  const std::function<std::string()>& neighbour_table;
  const std::string& operator_name;
  Millis now = 0;
};

// The action log's line of a change: what, and its detail (what changed,
// which the owner is answered too).
struct TillChangeDone {
  std::string what;
  std::string detail;
  int64_t session = 0;  // a session whose price changed (a void's)
};

struct TillChangeRow {
  TillChange::Kind kind = TillChange::Kind::kCurrency;
  Role role = Role::kOwner;  // the least role that may make it
  std::string_view name = "";
  std::array<std::string_view, 8> fields = {};  // the request's fields besides "change"
  Check (*read)(const RequestFields& fields, TillChange& change) = nullptr;
  // Writes the change; throws Refused when the till's state does not allow
  // it.
  TillChangeDone (*apply)(const TillContext& context, const TillChange& change) = nullptr;
};

std::span<const TillChangeRow> TillChangeRows();
const TillChangeRow& RowOf(TillChange::Kind kind);
// Reads a request for a change through the table (its "change" names the
// row), and checks that the role may make it.
Check ReadTillChange(const RequestFields& fields, Role role, TillChange& change);
// Every field such a request may hold.
std::vector<std::string> TillChangeFields();

}  // namespace zalvo::console
