// The sessions and shifts of local days, and their export as CSV for a
// spreadsheet.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/core/record.h"
#include "console/core/shift_report.h"

namespace zalvo::console {

// The minutes an ended session was used, from its start to its end on the
// console's clock, a minute begun counting whole; its price, the sum of its
// sales less what voids took back (nullopt: sold without a tariff).
int64_t UsedMinutes(const SessionRecord& session);
std::optional<Money> SessionPrice(const SessionRecord& session);
std::optional<Money> PriceOfSales(const std::vector<SaleRecord>& sales);

// The sessions as CSV, one line per session with a header line; times are
// local "YYYY-MM-DD HH:MM:SS", amounts "12.50" in the currency named in each
// line; a session that moved names the stations it left in "moved_from".
// Texts that a spreadsheet would read as a formula are prefixed with an
// apostrophe.
std::string SessionsCsv(const std::vector<SessionRecord>& sessions, const std::string& currency);
// The shifts as CSV, one line per shift with its totals and its report's
// lines (by tariff, by operator, free minutes by operator) as
// "name: count / minutes / amount" separated by "; ".
std::string ShiftsCsv(const std::vector<ShiftReport>& shifts, const std::string& currency);

// A member's statement as CSV: each move of the balance (top-ups, sales,
// refunds, voids, pay-outs) with the balance after it.
std::string StatementCsv(const Member& member, const std::vector<MemberMove>& moves,
                         const std::string& currency);

// Local time of day formatting and the bounds of a local day "YYYY-MM-DD".
std::string LocalTimeText(Millis at);
std::optional<std::pair<Millis, Millis>> LocalDayBounds(const std::string& day);
std::string LocalDay(Millis at);

}  // namespace zalvo::console
