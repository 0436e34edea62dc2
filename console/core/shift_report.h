// A shift's end-of-day report, from its rows in the record: what it sold, by
// tariff, by package and by operator; its refunds, paid out and kept; the
// sales voided in it (a void of an earlier shift's sale is a correction to
// that shift, shown here); the free minutes given; the members' balances:
// what they paid for, got back, and the cash that went into them and out;
// and its cash: the opening compared with the last shift's count, what is
// expected in the drawer, the count and the difference. Only what was paid in
// cash moves the drawer: a sale from a balance is balance spent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/core/billing.h"
#include "console/core/record.h"

namespace zalvo::console {

// A line of the report: so many rows, so many minutes, so much money.
struct ReportLine {
  std::string name;
  size_t count = 0;
  int64_t minutes = 0;
  Money amount = 0;
};

struct ShiftReport {
  ShiftRecord shift;
  ShiftTotals totals;
  size_t sales = 0;    // sold in cash (free minutes are not sales)
  size_t refunds = 0;  // paid out
  // The cash sales and top-ups less the refunds paid, voids and pay-outs:
  // the drawer's change.
  Money takings = 0;
  std::vector<ReportLine> by_tariff;    // by the tariff's name then, cash and balance
  std::vector<ReportLine> by_package;   // by the package's name then
  std::vector<ReportLine> by_operator;  // who sold
  ReportLine refunds_kept;              // offered at an early end and kept
  ReportLine free_minutes;
  std::vector<ReportLine> free_by_operator;
  std::vector<VoidRecord> voids;
  ReportLine balance_spent;     // sales paid from members' balances
  ReportLine balance_refunded;  // refunds and voids given back to balances
  ReportLine top_ups;           // cash into balances
  ReportLine payouts;           // balances paid out in cash
  // The shift before this one and what it counted at its close; the
  // opening less that count (nullopt: nothing to compare with).
  std::optional<int64_t> last_shift;
  std::optional<Money> last_counted;
  std::optional<Money> opening_difference;
};

// nullopt when a sum leaves 64 bits (a damaged record).
std::optional<ShiftReport> ReportOfShift(const ShiftRecord& shift,
                                         const std::vector<SaleRecord>& sales,
                                         const std::vector<RefundRecord>& refunds,
                                         const std::vector<VoidRecord>& voids,
                                         const std::vector<MemberMove>& member_moves,
                                         const std::optional<ShiftRecord>& before);

// The free minutes the operator gave in these sales.
int64_t FreeMinutesBy(const std::vector<SaleRecord>& sales, const std::string& operator_name);

}  // namespace zalvo::console
