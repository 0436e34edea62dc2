#include "console/core/billing.h"

#include <algorithm>
#include <cstdint>

namespace zalvo::console {

std::optional<std::string> TariffProblem(const Tariff& tariff) {
  if (tariff.name.empty() || tariff.name.size() > 64) {
    return "a tariff's name has 1 to 64 bytes";
  }
  if (tariff.per_hour < 0 || tariff.per_hour > kMaxHourPrice) {
    return "an hour's price is from 0 to " + MoneyText(kMaxHourPrice);
  }
  if (tariff.minimum < 0 || tariff.minimum > kMaxHourPrice) {
    return "a minimum charge is from 0 to " + MoneyText(kMaxHourPrice);
  }
  return std::nullopt;
}

std::optional<Money> PriceOf(const Tariff& tariff, int32_t minutes) {
  if (minutes < 1 || minutes > kMaxSessionMinutes || TariffProblem(tariff)) {
    return std::nullopt;
  }
  // At most 10^9 x 10080: no overflow.
  Money product = tariff.per_hour * minutes;
  Money price = product / 60 + (product % 60 != 0 ? 1 : 0);
  return price < tariff.minimum ? tariff.minimum : price;
}

int32_t UnusedWholeMinutes(Millis ends, Millis now) {
  if (ends <= now) {
    return 0;
  }
  return static_cast<int32_t>(std::min<Millis>((ends - now) / 60'000, INT32_MAX));
}

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
    // price <= 10^9 (or a minimum of that bound), taken <= 10080: no overflow.
    shares[i] = taken == sale.minutes ? sale.price : sale.price * taken / sale.minutes;
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

std::optional<ShiftTotals> TotalsOf(Money opening, const std::vector<Money>& sales,
                                    const std::vector<Money>& refunds,
                                    const std::vector<Money>& voids, std::optional<Money> counted) {
  ShiftTotals totals;
  totals.opening = opening;
  auto sold = SumOf(sales);
  auto refunded = SumOf(refunds);
  auto voided = SumOf(voids);
  if (!sold || !refunded || !voided) {
    return std::nullopt;
  }
  totals.sales = *sold;
  totals.refunds = *refunded;
  totals.voids = *voided;
  if (__builtin_add_overflow(opening, totals.sales, &totals.expected) ||
      __builtin_sub_overflow(totals.expected, totals.refunds, &totals.expected) ||
      __builtin_sub_overflow(totals.expected, totals.voids, &totals.expected)) {
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
