// The sessions of a local day, and their export as CSV for a spreadsheet.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/core/record.h"

namespace zalvo::console {

// The sessions as CSV, one line per session with a header line; times are
// local "YYYY-MM-DD HH:MM:SS". Texts that a spreadsheet would read as a
// formula are prefixed with an apostrophe.
std::string SessionsCsv(const std::vector<SessionRecord>& sessions);

// Local time of day formatting and the bounds of a local day "YYYY-MM-DD".
std::string LocalTimeText(Millis at);
std::optional<std::pair<Millis, Millis>> LocalDayBounds(const std::string& day);
std::string LocalDay(Millis at);

}  // namespace zalvo::console
