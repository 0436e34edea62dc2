// The club's till: tariffs with their periods, packages, the price of a sale,
// the refund of unused minutes, and the totals of a shift. Amounts are whole
// minor units (cents, stotinki) of the one currency the record names; nothing
// here rounds twice, nothing uses floating point, and every sum is checked.
// Free of state: the record keeps the tariffs, packages, sales, refunds and
// shifts, the console applies these rules to them. Local wall time is the
// console's own time zone (the C library's).
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
// session at it, and any shift's totals, stay far inside 64 bits. Also the
// dearest package, and the most a top-up takes a member's balance to.
inline constexpr Money kMaxHourPrice = 1'000'000'000;
inline constexpr Money kMaxBalance = kMaxHourPrice;

inline constexpr int32_t kMinutesPerDay = 24 * 60;
inline constexpr int32_t kMinutesPerWeek = 7 * kMinutesPerDay;
// Days of a period: bit 0 Monday ... bit 6 Sunday.
inline constexpr uint8_t kEveryDay = 0x7F;
inline constexpr size_t kMaxPeriods = 64;

// A part of a tariff's week: on the days it starts, from a minute of the
// day to another, at a price per hour. A period whose end is not after its
// start crosses midnight and belongs to the day it starts ("Fri 22:00-06:00"
// is Friday night, to Saturday 06:00); from == to is a whole day.
struct TariffPeriod {
  uint8_t days = kEveryDay;
  int32_t from = 0;  // minute of the day, 0..1439
  int32_t to = 0;    // minute of the day, 0..1439
  Money per_hour = 0;
};

// A tariff prices every minute of the week by exactly one of its periods,
// and a sale costs at least its minimum.
struct Tariff {
  int64_t id = 0;
  std::string name;  // UTF-8
  Money minimum = 0;
  std::vector<TariffPeriod> periods;
};

// Stations belong to a group; a group sells at its tariff.
struct Group {
  int64_t id = 0;
  std::string name;  // UTF-8
  int64_t tariff_id = 0;
};

// A tariff of one price for the whole week (what a tariff was before it had
// periods, and what the room file's "tariff NAME PRICE" makes).
Tariff OnePriceTariff(int64_t id, std::string name, Money per_hour, Money minimum = 0);

// What a tariff may hold: a name of 1 to 64 bytes, a minimum and prices from
// 0 to kMaxHourPrice, 1 to kMaxPeriods periods that price every minute of
// the week once. The reason it may not (naming the periods that overlap, or
// the time no period prices), or nullopt.
std::optional<std::string> TariffProblem(const Tariff& tariff);

// A period as the owner writes it: "DAYS FROM-TO PRICE", the days as names
// (Mon ... Sun), ranges ("Mon-Fri", "Fri-Sun") and lists ("Sat,Sun"), or
// "daily"; the times HH:MM (24:00 for an end at midnight); the price per hour
// as an amount ("Mon-Fri 08:00-18:00 2.50"). nullopt with the reason.
std::optional<TariffPeriod> ParsePeriod(std::string_view text, std::string& why);
std::string PeriodText(const TariffPeriod& period);
// "HH:MM" as a minute of the day (0..1439; "24:00" only where `end_of_day`,
// as 0), and back.
std::optional<int32_t> ParseClock(std::string_view text, bool end_of_day = false);
std::string ClockText(int32_t minute_of_day);

// A part of a sale: so many minutes at one price per hour.
struct SalePart {
  int32_t minutes = 0;
  Money per_hour = 0;
};

struct Priced {
  Money price = 0;
  std::vector<SalePart> parts;  // in the order the minutes run
};

// A sale of minutes at a tariff, priced when it is made, its minutes laid on
// the clock from `from`: each elapsed minute at the period of the local wall
// time it begins in (on the night the clocks go back the repeated hour is
// priced twice; the hour skipped in spring is not sold). The sum over its
// parts of minutes times the hour's price over 60, rounded up once to a whole
// minor unit, and at least the tariff's minimum. nullopt for minutes outside
// 1..kMaxSessionMinutes or a tariff with a problem.
std::optional<Priced> PriceOf(const Tariff& tariff, Millis from, int32_t minutes);

// A member's discount in whole percent (0..100) off a price, rounded to a
// whole minor unit in the club's favour.
Money Discounted(Money price, int32_t percent);

// A package's window of the day: sold from its start until its last sale
// time, it gives the time up to the window's local end. Minutes of the day;
// an end not after the start is the next day's.
struct PackageWindow {
  int32_t from = 0;
  int32_t to = 0;
  int32_t last_sale = 0;
};

// A package: a fixed price for a fixed number of minutes, or for the time to
// its window's end; sold in the groups the owner chooses. At an early end its
// unused minutes are refunded at its price per minute, or not at all.
struct Package {
  int64_t id = 0;
  std::string name = {};  // UTF-8
  Money price = 0;
  int32_t minutes = 0;  // 0 for a window
  std::optional<PackageWindow> window = std::nullopt;
  bool refundable = true;
  std::vector<int64_t> groups = {};
};

std::optional<std::string> PackageProblem(const Package& package);
// A window as the owner writes it, "22:00-08:00" and its last sale "05:00".
std::optional<PackageWindow> ParseWindow(std::string_view window, std::string_view last_sale);
std::string WindowText(const PackageWindow& window);  // "22:00-08:00, sold until 05:00"

// The minutes a package gives a sale sold at `now` whose time begins at
// `from` (a start: now; an add: the session's end): its fixed minutes, or
// the minutes from `from` to the local end of the window open at `now`,
// rounded up. nullopt with the reason when it is not sold now (outside its
// window's start and last sale time) or gives nothing (the session runs past
// the window's end already).
std::optional<int32_t> PackageMinutes(const Package& package, Millis now, Millis from,
                                      std::string& why);

// One sale of a session, as the refund sees it: its minutes, what was paid,
// its parts by price (none: one price for all its minutes), and whether its
// unused minutes are refunded at all (a package may say not).
struct Sale {
  int32_t minutes = 0;
  Money price = 0;
  std::vector<SalePart> parts = {};
  bool refundable = true;
};

// The whole minutes of a session not used yet: from now to its end, rounded
// down; 0 once the time has run out.
int32_t UnusedWholeMinutes(Millis ends, Millis now);

// The refund of unused minutes, each at the price it was sold at. The
// minutes not used are the last ones sold, so they are taken from the latest
// sale back, and within a sale from its last part back. Part of a sale is
// refunded in proportion to what its minutes were priced at (the minimum and
// a discount shared alike), rounded down to a whole minor unit, so a refund
// never exceeds what was paid; all of a sale refunds its price. A sale that
// is not refundable takes its share of the unused minutes and gives nothing.
struct RefundOffer {
  int32_t minutes = 0;
  Money amount = 0;
};
RefundOffer RefundFor(const std::vector<Sale>& sales, int32_t unused_minutes);
// The same refund, sale by sale: what of each sale it gives back.
std::vector<Money> RefundShares(const std::vector<Sale>& sales, int32_t unused_minutes);

// A shift's cash: what the drawer held at its opening, plus the sales paid in
// cash and the members' top-ups, minus the refunds paid, the sales voided and
// the balances paid out, is what it should hold; the count at the close
// shows the difference (negative: cash missing).
struct CashMoves {
  std::vector<Money> sales;
  std::vector<Money> refunds;
  std::vector<Money> voids;
  std::vector<Money> top_ups;
  std::vector<Money> payouts;
};
struct ShiftTotals {
  Money opening = 0;
  Money sales = 0;
  Money refunds = 0;
  Money voids = 0;
  Money top_ups = 0;
  Money payouts = 0;
  Money expected = 0;
  std::optional<Money> counted;
  std::optional<Money> difference;
};
// nullopt when a sum leaves 64 bits (a corrupt record: no real till gets
// near it).
std::optional<ShiftTotals> TotalsOf(Money opening, const CashMoves& moves,
                                    std::optional<Money> counted);
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
