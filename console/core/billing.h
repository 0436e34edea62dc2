// The club's till: tariffs, the price of a sale, the refund of unused
// minutes, and the totals of a shift. Amounts are whole minor units (cents,
// stotinki) of the one currency the record names; nothing here rounds twice.
// Portable and free of state: the record keeps the tariffs, sales, refunds
// and shifts, the console applies these rules to them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/room.h"

namespace zalvo::console {

// Minor units of the record's currency.
using Money = int64_t;

// The dearest hour a tariff may ask, 10,000,000.00: any sale of the longest
// session at it, and any shift's totals, stay far inside 64 bits.
inline constexpr Money kMaxHourPrice = 1'000'000'000;

struct Tariff {
  int64_t id = 0;
  std::string name;    // UTF-8
  Money per_hour = 0;  // the price of an hour
  Money minimum = 0;   // the least a sale costs; 0: none
};

// Stations belong to a group; a group sells at its tariff.
struct Group {
  int64_t id = 0;
  std::string name;  // UTF-8
  int64_t tariff_id = 0;
};

// A sale of minutes at a tariff, priced when it is made: minutes times the
// hour's price over 60, rounded up to a whole minor unit, and at least the
// tariff's minimum. nullopt for minutes outside 1..kMaxSessionMinutes or a
// tariff outside its bounds.
std::optional<Money> PriceOf(const Tariff& tariff, int32_t minutes);

// What a tariff may hold: a name of 1 to 64 bytes, an hour's price from 0 to
// kMaxHourPrice and a minimum from 0 to that price's bound. The reason it
// may not, or nullopt.
std::optional<std::string> TariffProblem(const Tariff& tariff);

// One sale of a session, as the record keeps it.
struct Sale {
  int32_t minutes = 0;
  Money price = 0;
};

// The whole minutes of a session not used yet: from now to its end, rounded
// down; 0 once the time has run out.
int32_t UnusedWholeMinutes(Millis ends, Millis now);

// The refund of unused minutes, each at the price it was sold at. The
// minutes not used are the last ones sold, so they are taken from the latest
// sale back. Part of a sale is refunded in proportion to its price, rounded
// down to a whole minor unit, so a refund never exceeds what was paid; all of
// a sale refunds its price (its minimum included).
struct RefundOffer {
  int32_t minutes = 0;
  Money amount = 0;
};
RefundOffer RefundFor(const std::vector<Sale>& sales, int32_t unused_minutes);
// The same refund, sale by sale: what of each sale it gives back.
std::vector<Money> RefundShares(const std::vector<Sale>& sales, int32_t unused_minutes);

// A shift's cash: what the drawer held at its opening, plus the sales, minus
// the refunds paid and the sales voided, is what it should hold; the count at
// the close shows the difference (negative: cash missing).
struct ShiftTotals {
  Money opening = 0;
  Money sales = 0;
  Money refunds = 0;
  Money voids = 0;
  Money expected = 0;
  std::optional<Money> counted;
  std::optional<Money> difference;
};
// nullopt when a sum leaves 64 bits (a corrupt record: no real till gets
// near it).
std::optional<ShiftTotals> TotalsOf(Money opening, const std::vector<Money>& sales,
                                    const std::vector<Money>& refunds,
                                    const std::vector<Money>& voids, std::optional<Money> counted);
// The sum of the amounts; nullopt when it leaves 64 bits.
std::optional<Money> SumOf(const std::vector<Money>& amounts);

// Whether the text is a currency's code as the record names it: 1 to 8
// letters, such as BGN.
bool IsCurrencyCode(std::string_view code);

// An amount as the page and the exports show it, "12.30", "-0.05"; and back
// from what an operator types: digits with at most two decimals after a
// point ("12", "12.3", "12.30"), at most kMaxHourPrice; nullopt otherwise.
std::string MoneyText(Money amount);
std::optional<Money> ParseMoney(std::string_view text);

// Minutes as an operator types them: digits only (leading zeros allowed; no
// sign, blank, point or exponent), a whole number from 1 to
// kMaxSessionMinutes; nullopt otherwise.
std::optional<int32_t> ParseMinutes(std::string_view text);

// The till's part of a room file (see ParseRoomPlan): the currency's code,
// the tariffs, the groups, and the group of each station by address.
struct TillPlan {
  std::string currency;
  std::vector<Tariff> tariffs;
  struct GroupPlan {
    std::string name;
    std::string tariff;
  };
  std::vector<GroupPlan> groups;
  std::vector<std::pair<std::string, std::string>> members;  // address, group name
};

}  // namespace zalvo::console
