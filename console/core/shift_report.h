// A shift's end-of-day report, from its rows in the record: what it sold, by
// tariff and by operator; its refunds, paid out and kept; the sales voided in
// it (a void of an earlier shift's sale is a correction to that shift, shown
// here); the free minutes given; and its cash: the opening compared with the
// last shift's count, what is expected in the drawer, the count and the
// difference.
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
  size_t sales = 0;                     // sold at a tariff (free minutes are not sales)
  size_t refunds = 0;                   // paid out
  Money takings = 0;                    // sales less refunds paid and voids: the drawer's change
  std::vector<ReportLine> by_tariff;    // by the tariff's name then
  std::vector<ReportLine> by_operator;  // who sold
  ReportLine refunds_kept;              // offered at an early end and kept
  ReportLine free_minutes;
  std::vector<ReportLine> free_by_operator;
  std::vector<VoidRecord> voids;
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
                                         const std::optional<ShiftRecord>& before);

// The free minutes the operator gave in these sales.
int64_t FreeMinutesBy(const std::vector<SaleRecord>& sales, const std::string& operator_name);

}  // namespace zalvo::console
