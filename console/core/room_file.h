// The room's file: the stations, and what seeds the till at the first start.
//
//   # comment
//   currency BGN
//   tariff Standard 3.00
//   tariff VIP 5.00 minimum 2.50
//   group "Main hall" Standard
//   "PC 1" 10.0.0.11 1 1
//   "PC 2" 10.0.0.12 2 1 mac 00:1a:2b:3c:4d:5e
//   "PC 3" 10.0.0.13 3 1 unkeyed
//   group Booths VIP
//   "VIP 1" 10.0.0.21
//
// One item per line, fields separated by blanks or tabs; a field with blanks
// is written in double quotes. A station is "name address [column row]
// [mac MAC] [unkeyed]" (the MAC address of its network card, for power-on;
// "unkeyed" for one still installed without a command key) and
// belongs to the group of the last "group" line above it (none before the
// first). Amounts are in the currency's major unit with at most two decimals.
// A station named like a keyword (currency, tariff, group) is written in
// quotes.
#pragma once

#include <string>
#include <vector>

#include "console/core/billing.h"
#include "console/core/room.h"

namespace zalvo::console {

struct RoomPlan {
  std::vector<StationConfig> stations;
  TillPlan till;
};

// Throws Refused naming the line that is wrong and why.
RoomPlan ParseRoomPlan(const std::string& text);

}  // namespace zalvo::console
