// The sessions and shifts of local days, and their export as CSV for a
// spreadsheet.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/core/record.h"

namespace zalvo::console {

// The minutes an ended session was used, from its start to its end on the
// console's clock, a minute begun counting whole; its price, the sum of its
// sales (nullopt: sold without a tariff).
int64_t UsedMinutes(const SessionRecord& session);
std::optional<Money> SessionPrice(const SessionRecord& session);

// The sessions as CSV, one line per session with a header line; times are
// local "YYYY-MM-DD HH:MM:SS", amounts "12.50" in the currency named in each
// line. Texts that a spreadsheet would read as a formula are prefixed with an
// apostrophe.
std::string SessionsCsv(const std::vector<SessionRecord>& sessions, const std::string& currency);
// The shifts as CSV, one line per shift with its totals.
std::string ShiftsCsv(const std::vector<ShiftReport>& shifts, const std::string& currency);

// Local time of day formatting and the bounds of a local day "YYYY-MM-DD".
std::string LocalTimeText(Millis at);
std::optional<std::pair<Millis, Millis>> LocalDayBounds(const std::string& day);
std::string LocalDay(Millis at);

}  // namespace zalvo::console
