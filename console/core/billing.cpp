#include "console/core/billing.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/console.h"

namespace zalvo::console {
namespace {

constexpr Millis kMinute = 60'000;
constexpr std::array<std::string_view, 7> kDayNames = {"Mon", "Tue", "Wed", "Thu",
                                                       "Fri", "Sat", "Sun"};

// The minutes a period lasts from its start: an end not after the start is
// the next day's.
int32_t LengthOf(int32_t from, int32_t to) {
  int32_t length = (to - from + kMinutesPerDay) % kMinutesPerDay;
  return length == 0 ? kMinutesPerDay : length;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// The local wall time of an instant: its minute of the week (Monday 00:00 is
// 0) and how far the wall clock is from UTC, in seconds.
struct Wall {
  int32_t minute_of_week = 0;
  int64_t offset = 0;
};

Wall WallAt(Millis at) {
  Millis seconds = at >= 0 ? at / 1000 : (at - 999) / 1000;
  std::tm local = platform::LocalTime(static_cast<std::time_t>(seconds));
  int64_t civil =
      DaysFromCivil(local.tm_year + int64_t{1900}, local.tm_mon + 1, local.tm_mday) * 86'400 +
      int64_t{local.tm_hour} * 3600 + int64_t{local.tm_min} * 60 + local.tm_sec;
  return Wall{((local.tm_wday + 6) % 7) * kMinutesPerDay + local.tm_hour * 60 + local.tm_min,
              civil - seconds};
}

// The week of a tariff that has no problem: for each minute of the week, the
// period that prices it.
class Week {
 public:
  explicit Week(const Tariff& tariff) : tariff_(tariff) {
    owner_.fill(-1);
    for (size_t p = 0; p < tariff.periods.size(); ++p) {
      const TariffPeriod& period = tariff.periods[p];
      for (int32_t day = 0; day < 7; ++day) {
        if ((period.days & (1U << day)) == 0) {
          continue;
        }
        int32_t start = day * kMinutesPerDay + period.from;
        int32_t length = LengthOf(period.from, period.to);
        for (int32_t i = 0; i < length; ++i) {
          int16_t& cell = owner_[static_cast<size_t>((start + i) % kMinutesPerWeek)];
          if (cell >= 0 && !overlap_) {
            overlap_ = std::make_pair(static_cast<size_t>(cell), p);
            overlap_at_ = (start + i) % kMinutesPerWeek;
          }
          cell = static_cast<int16_t>(p);
        }
      }
    }
    // Where each minute's price runs to, from the week's end back.
    for (int32_t m = kMinutesPerWeek; m-- > 0;) {
      bool same = m + 1 < kMinutesPerWeek && PriceAt(m + 1) == PriceAt(m);
      run_end_[static_cast<size_t>(m)] = same ? run_end_[static_cast<size_t>(m) + 1] : m + 1;
    }
  }

  // Two periods that price one minute, and the minute.
  std::optional<std::pair<size_t, size_t>> Overlap() const { return overlap_; }
  int32_t OverlapAt() const { return overlap_at_; }
  // The first minute no period prices, and how many follow it unpriced.
  std::optional<std::pair<int32_t, int32_t>> Gap() const {
    for (int32_t m = 0; m < kMinutesPerWeek; ++m) {
      if (Owner(m) < 0) {
        int32_t end = m;
        while (end < kMinutesPerWeek && Owner(end) < 0) {
          ++end;
        }
        return std::make_pair(m, end - m);
      }
    }
    return std::nullopt;
  }

  // The price per hour at a minute of the week, and the minutes from it
  // until that price changes (or the week ends).
  // (Of a tariff that prices every minute.)
  std::pair<Money, int32_t> At(int32_t minute) const {
    return {PriceAt(minute), run_end_[static_cast<size_t>(minute)] - minute};
  }

 private:
  int16_t Owner(int32_t minute) const { return owner_[static_cast<size_t>(minute)]; }
  Money PriceAt(int32_t minute) const {
    int16_t owner = Owner(minute);
    return owner < 0 ? -1 : tariff_.periods[static_cast<size_t>(owner)].per_hour;
  }

  const Tariff& tariff_;
  std::array<int16_t, kMinutesPerWeek> owner_{};
  std::array<int32_t, kMinutesPerWeek> run_end_{};
  std::optional<std::pair<size_t, size_t>> overlap_;
  int32_t overlap_at_ = 0;
};

std::string WeekMinuteText(int32_t minute) {
  return std::string(kDayNames[static_cast<size_t>(minute / kMinutesPerDay)]) + " " +
         ClockText(minute % kMinutesPerDay);
}

bool Digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<int32_t> DayOf(std::string_view name) {
  for (size_t d = 0; d < kDayNames.size(); ++d) {
    const std::string_view day = kDayNames[d];
    if (name.size() == 3 && std::equal(name.begin(), name.end(), day.begin(),
                                       [](char a, char b) { return (a | 0x20) == (b | 0x20); })) {
      return static_cast<int32_t>(d);
    }
  }
  return std::nullopt;
}

// "Mon-Fri", "Sat,Sun", "Fri-Mon", "daily".
std::optional<uint8_t> ParseDays(std::string_view text) {
  if (text == "daily") {
    return kEveryDay;
  }
  unsigned days = 0;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (comma != std::string_view::npos && text.empty()) {
      return std::nullopt;
    }
    size_t dash = item.find('-');
    auto first = DayOf(item.substr(0, dash));
    auto last = dash == std::string_view::npos ? first : DayOf(item.substr(dash + 1));
    if (!first || !last) {
      return std::nullopt;
    }
    for (int32_t d = *first;; d = (d + 1) % 7) {
      days |= 1U << d;
      if (d == *last) {
        break;
      }
    }
  }
  return days == 0 ? std::nullopt : std::optional<uint8_t>(static_cast<uint8_t>(days));
}

std::string DaysText(uint8_t days) {
  if (days == kEveryDay) {
    return "Mon-Sun";
  }
  std::string text;
  for (int32_t d = 0; d < 7;) {
    if ((days & (1U << d)) == 0) {
      ++d;
      continue;
    }
    int32_t last = d;
    while (last + 1 < 7 && (days & (1U << (last + 1))) != 0) {
      ++last;
    }
    text += (text.empty() ? "" : ",") + std::string(kDayNames[static_cast<size_t>(d)]);
    if (last > d) {
      text += "-" + std::string(kDayNames[static_cast<size_t>(last)]);
    }
    d = last + 1;
  }
  return text;
}

// The instant of a local wall time: the date of `day_of` moved by `days`, at
// the minute of the day (a time the clocks skip is read as the C library
// does).
Millis LocalInstant(Millis day_of, int32_t days, int32_t minute_of_day) {
  Millis seconds = day_of / 1000;
  std::tm t = platform::LocalTime(static_cast<std::time_t>(seconds));
  t.tm_mday += days;
  t.tm_hour = minute_of_day / 60;
  t.tm_min = minute_of_day % 60;
  t.tm_sec = 0;
  t.tm_isdst = -1;
  return static_cast<Millis>(std::mktime(&t)) * 1000;
}

}  // namespace

Tariff OnePriceTariff(int64_t id, std::string name, Money per_hour, Money minimum) {
  return Tariff{id, std::move(name), minimum, {TariffPeriod{kEveryDay, 0, 0, per_hour}}};
}

namespace {

// What a tariff may hold, but for how its periods cover the week.
std::optional<std::string> FieldsProblem(const Tariff& tariff) {
  if (tariff.name.empty() || tariff.name.size() > 64) {
    return "a tariff's name has 1 to 64 bytes";
  }
  if (tariff.minimum < 0 || tariff.minimum > kMaxHourPrice) {
    return "a minimum charge is from 0 to " + MoneyText(kMaxHourPrice);
  }
  if (tariff.periods.empty() || tariff.periods.size() > kMaxPeriods) {
    return "a tariff has 1 to " + std::to_string(kMaxPeriods) + " periods";
  }
  for (const auto& period : tariff.periods) {
    if (period.per_hour < 0 || period.per_hour > kMaxHourPrice) {
      return "an hour's price is from 0 to " + MoneyText(kMaxHourPrice);
    }
    if ((period.days & kEveryDay) == 0 || (period.days & ~kEveryDay) != 0 || period.from < 0 ||
        period.from >= kMinutesPerDay || period.to < 0 || period.to >= kMinutesPerDay) {
      return "a period has days of the week and times of the day";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> TariffProblem(const Tariff& tariff) {
  if (auto problem = FieldsProblem(tariff)) {
    return problem;
  }
  Week week(tariff);
  if (auto overlap = week.Overlap()) {
    return "the periods '" + PeriodText(tariff.periods[overlap->first]) + "' and '" +
           PeriodText(tariff.periods[overlap->second]) + "' overlap: both price " +
           WeekMinuteText(week.OverlapAt());
  }
  if (auto gap = week.Gap()) {
    return "a tariff prices every minute of the week: no period prices " +
           WeekMinuteText(gap->first) + " to " +
           WeekMinuteText((gap->first + gap->second) % kMinutesPerWeek);
  }
  return std::nullopt;
}

std::optional<int32_t> ParseClock(std::string_view text, bool end_of_day) {
  if (text.size() != 5 || text[2] != ':' || !Digits(text.substr(0, 2)) || !Digits(text.substr(3))) {
    return std::nullopt;
  }
  int32_t hours = (text[0] - '0') * 10 + (text[1] - '0');
  int32_t minutes = (text[3] - '0') * 10 + (text[4] - '0');
  if (end_of_day && hours == 24 && minutes == 0) {
    return 0;
  }
  if (hours > 23 || minutes > 59) {
    return std::nullopt;
  }
  return hours * 60 + minutes;
}

std::string ClockText(int32_t minute_of_day) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", (minute_of_day / 60) % 100, minute_of_day % 60);
  return text;
}

std::optional<TariffPeriod> ParsePeriod(std::string_view text, std::string& why) {
  why = "a period is 'DAYS FROM-TO PRICE', such as 'Mon-Fri 08:00-18:00 2.50'";
  std::vector<std::string_view> words;
  while (!text.empty()) {
    size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
      break;
    }
    text = text.substr(start);
    size_t end = text.find(' ');
    words.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end);
  }
  if (words.size() != 3 || words[1].size() != 11 || words[1][5] != '-') {
    return std::nullopt;
  }
  auto days = ParseDays(words[0]);
  auto from = ParseClock(words[1].substr(0, 5));
  auto to = ParseClock(words[1].substr(6), true);
  auto price = ParseMoney(words[2]);
  if (!days) {
    why = "'" + std::string(words[0]) + "' is not days such as Mon-Fri, Sat,Sun or daily";
    return std::nullopt;
  }
  if (!from || !to) {
    why = "'" + std::string(words[1]) + "' is not a time of the day such as 08:00-18:00";
    return std::nullopt;
  }
  if (!price) {
    why = "'" + std::string(words[2]) + "' is not a price per hour such as 2.50";
    return std::nullopt;
  }
  why.clear();
  return TariffPeriod{*days, *from, *to, *price};
}

std::string PeriodText(const TariffPeriod& period) {
  return DaysText(period.days) + " " + ClockText(period.from) + "-" +
         (period.to == 0 ? std::string("24:00") : ClockText(period.to)) + " " +
         MoneyText(period.per_hour);
}

std::optional<Priced> PriceOf(const Tariff& tariff, Millis from, int32_t minutes) {
  if (minutes < 1 || minutes > kMaxSessionMinutes || FieldsProblem(tariff)) {
    return std::nullopt;
  }
  Week week(tariff);
  if (week.Overlap() || week.Gap()) {
    return std::nullopt;
  }
  Priced priced;
  // Minutes times the hour's price: at most 10080 x 10^9, no overflow.
  Money value = 0;
  Millis at = from;
  int32_t left = minutes;
  while (left > 0) {
    Wall wall = WallAt(at);
    auto [per_hour, run] = week.At(wall.minute_of_week);
    int32_t taken = std::min(left, run);
    // The clocks change within these minutes: the wall time jumps there, so
    // the minutes from the change on are priced at the new wall time.
    if (WallAt(at + taken * kMinute).offset != wall.offset) {
      int32_t low = 1;
      int32_t high = taken;
      while (low < high) {
        int32_t middle = low + (high - low) / 2;
        if (WallAt(at + middle * kMinute).offset != wall.offset) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      taken = low;
    }
    if (!priced.parts.empty() && priced.parts.back().per_hour == per_hour) {
      priced.parts.back().minutes += taken;
    } else {
      priced.parts.push_back(SalePart{taken, per_hour});
    }
    value += per_hour * taken;
    at += taken * kMinute;
    left -= taken;
  }
  priced.price = value / 60 + (value % 60 != 0 ? 1 : 0);
  priced.price = std::max(priced.price, tariff.minimum);
  return priced;
}

Money Discounted(Money price, int32_t percent) {
  percent = std::clamp(percent, 0, 100);
  // At most the dearest sale (under 2 x 10^11) x 100: no overflow.
  Money kept = price * (100 - percent);
  return kept / 100 + (kept % 100 > 0 ? 1 : 0);
}

std::optional<std::string> PackageProblem(const Package& package) {
  if (package.name.empty() || package.name.size() > 64) {
    return "a package's name has 1 to 64 bytes";
  }
  if (package.price < 0 || package.price > kMaxHourPrice) {
    return "a package's price is from 0 to " + MoneyText(kMaxHourPrice);
  }
  if (package.window.has_value() == (package.minutes != 0)) {
    return "a package is either a number of minutes or a window of the day";
  }
  if (!package.window && (package.minutes < 1 || package.minutes > kMaxSessionMinutes)) {
    return "a package's minutes are from 1 to " + std::to_string(kMaxSessionMinutes);
  }
  if (package.window) {
    const PackageWindow& w = *package.window;
    for (int32_t minute : {w.from, w.to, w.last_sale}) {
      if (minute < 0 || minute >= kMinutesPerDay) {
        return "a window's times are times of the day";
      }
    }
    if (w.from == w.to) {
      return "a window ends at another time than it starts";
    }
    int32_t last = (w.last_sale - w.from + kMinutesPerDay) % kMinutesPerDay;
    if (last == 0 || last > LengthOf(w.from, w.to)) {
      return "a window's last sale is after its start and not after its end";
    }
  }
  return std::nullopt;
}

std::optional<PackageWindow> ParseWindow(std::string_view window, std::string_view last_sale) {
  if (window.size() != 11 || window[5] != '-') {
    return std::nullopt;
  }
  auto from = ParseClock(window.substr(0, 5));
  auto to = ParseClock(window.substr(6), true);
  auto last = ParseClock(last_sale, true);
  if (!from || !to || !last) {
    return std::nullopt;
  }
  return PackageWindow{*from, *to, *last};
}

std::string WindowText(const PackageWindow& window) {
  return ClockText(window.from) + "-" + ClockText(window.to) + ", sold until " +
         ClockText(window.last_sale);
}

std::optional<int32_t> PackageMinutes(const Package& package, Millis now, Millis from,
                                      std::string& why) {
  if (!package.window) {
    return package.minutes;
  }
  const PackageWindow& w = *package.window;
  std::tm local = platform::LocalTime(static_cast<std::time_t>(now / 1000));
  int32_t minute = local.tm_hour * 60 + local.tm_min;
  int32_t into = (minute - w.from + kMinutesPerDay) % kMinutesPerDay;
  if (into >= (w.last_sale - w.from + kMinutesPerDay) % kMinutesPerDay) {
    why = "'" + package.name + "' is sold from " + ClockText(w.from) + " until " +
          ClockText(w.last_sale);
    return std::nullopt;
  }
  // The window opened today, or yesterday when its start is later in the
  // day than now; it ends at its end's wall time, the next day's where it
  // crosses midnight.
  int32_t start_day = minute >= w.from ? 0 : -1;
  Millis end = LocalInstant(now, start_day + (w.to <= w.from ? 1 : 0), w.to);
  if (end <= from) {
    why = "the session's time runs past the end of '" + package.name + "' at " + ClockText(w.to);
    return std::nullopt;
  }
  return static_cast<int32_t>(
      std::min<Millis>((end - from + kMinute - 1) / kMinute, kMaxSessionMinutes));
}

int32_t UnusedWholeMinutes(Millis ends, Millis now) {
  if (ends <= now) {
    return 0;
  }
  return static_cast<int32_t>(std::min<Millis>((ends - now) / 60'000, INT32_MAX));
}

namespace {

// What `taken` of a sale's last minutes were priced at, as a share of its
// price: in proportion to their parts' prices per hour (or to the minutes,
// where the sale has no parts or priced them all at 0), rounded down.
Money ShareOf(const Sale& sale, int32_t taken) {
  if (!sale.refundable) {
    return 0;
  }
  if (taken >= sale.minutes) {
    return sale.price;
  }
  __int128 whole = 0;
  __int128 part = 0;
  int32_t counted = 0;
  for (const auto& p : sale.parts) {
    counted += p.minutes;
    whole += static_cast<__int128>(p.per_hour) * p.minutes;
  }
  if (sale.parts.empty() || whole == 0 || counted != sale.minutes) {
    whole = sale.minutes;
    part = taken;
  } else {
    int32_t left = taken;
    for (auto p = sale.parts.rbegin(); p != sale.parts.rend() && left > 0; ++p) {
      int32_t from_part = std::min(left, p->minutes);
      part += static_cast<__int128>(p->per_hour) * from_part;
      left -= from_part;
    }
  }
  // price < 2^38 and part <= whole < 2^44: the product fits 128 bits.
  return static_cast<Money>(static_cast<__int128>(sale.price) * part / whole);
}

}  // namespace

std::vector<Money> RefundShares(const std::vector<Sale>& sales, int32_t unused_minutes) {
  std::vector<Money> shares(sales.size(), 0);
  int32_t left = unused_minutes;
  for (size_t i = sales.size(); i-- > 0 && left > 0;) {
    const Sale& sale = sales[i];
    if (sale.minutes <= 0) {
      continue;
    }
    int32_t taken = left < sale.minutes ? left : sale.minutes;
    left -= taken;
    shares[i] = ShareOf(sale, taken);
  }
  return shares;
}

RefundOffer RefundFor(const std::vector<Sale>& sales, int32_t unused_minutes) {
  RefundOffer offer;
  int32_t left = unused_minutes;
  for (auto sale = sales.rbegin(); sale != sales.rend() && left > 0; ++sale) {
    if (sale->minutes > 0) {
      int32_t taken = left < sale->minutes ? left : sale->minutes;
      left -= taken;
      offer.minutes += taken;
    }
  }
  for (Money share : RefundShares(sales, unused_minutes)) {
    offer.amount += share;
  }
  return offer;
}

std::optional<Money> SumOf(const std::vector<Money>& amounts) {
  Money sum = 0;
  for (Money amount : amounts) {
    if (__builtin_add_overflow(sum, amount, &sum)) {
      return std::nullopt;
    }
  }
  return sum;
}

std::optional<ShiftTotals> TotalsOf(Money opening, const CashMoves& moves,
                                    std::optional<Money> counted) {
  ShiftTotals totals;
  totals.opening = opening;
  auto sold = SumOf(moves.sales);
  auto refunded = SumOf(moves.refunds);
  auto voided = SumOf(moves.voids);
  auto topped = SumOf(moves.top_ups);
  auto paid = SumOf(moves.payouts);
  if (!sold || !refunded || !voided || !topped || !paid) {
    return std::nullopt;
  }
  totals.sales = *sold;
  totals.refunds = *refunded;
  totals.voids = *voided;
  totals.top_ups = *topped;
  totals.payouts = *paid;
  if (__builtin_add_overflow(opening, totals.sales, &totals.expected) ||
      __builtin_add_overflow(totals.expected, totals.top_ups, &totals.expected) ||
      __builtin_sub_overflow(totals.expected, totals.refunds, &totals.expected) ||
      __builtin_sub_overflow(totals.expected, totals.voids, &totals.expected) ||
      __builtin_sub_overflow(totals.expected, totals.payouts, &totals.expected)) {
    return std::nullopt;
  }
  if (counted) {
    Money difference = 0;
    if (__builtin_sub_overflow(*counted, totals.expected, &difference)) {
      return std::nullopt;
    }
    totals.counted = counted;
    totals.difference = difference;
  }
  return totals;
}

bool IsCurrencyCode(std::string_view code) {
  return !code.empty() && code.size() <= 8 &&
         code.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") ==
             std::string_view::npos;
}

std::string MoneyText(Money amount) {
  // The magnitude as unsigned, so that the most negative amount prints too.
  uint64_t magnitude =
      amount < 0 ? uint64_t{0} - static_cast<uint64_t>(amount) : static_cast<uint64_t>(amount);
  std::string cents = std::to_string(magnitude % 100);
  return (amount < 0 ? "-" : "") + std::to_string(magnitude / 100) + "." +
         (cents.size() == 1 ? "0" : "") + cents;
}

std::optional<Money> ParseMoney(std::string_view text) {
  size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  auto digits = [](std::string_view part) {
    return part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (whole.empty() || whole.size() > 10 || !digits(whole) || fraction.size() > 2 ||
      !digits(fraction) || (point != std::string_view::npos && fraction.empty())) {
    return std::nullopt;
  }
  Money amount = 0;
  for (char c : whole) {
    amount = amount * 10 + (c - '0');
  }
  amount *= 100;
  if (!fraction.empty()) {
    amount += (fraction[0] - '0') * 10 + (fraction.size() == 2 ? fraction[1] - '0' : 0);
  }
  if (amount > kMaxHourPrice) {
    return std::nullopt;
  }
  return amount;
}

std::optional<int32_t> ParseMinutes(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  int32_t minutes = 0;
  for (char c : text) {
    minutes = minutes * 10 + (c - '0');
    if (minutes > kMaxSessionMinutes) {
      return std::nullopt;
    }
  }
  if (minutes < 1) {
    return std::nullopt;
  }
  return minutes;
}

}  // namespace zalvo::console
