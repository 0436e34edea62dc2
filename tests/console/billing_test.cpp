// The till's arithmetic: what a sale costs at its periods (on the days the
// clocks change too), what a package gives, what an early end refunds, a
// member's discount, a shift's cash, amounts as operators write them, and the
// room file's till.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "console/core/billing.h"
#include "console/core/room_file.h"

namespace zalvo::console {
namespace {

// A one-price tariff's price of so many minutes (the time of the sale does
// not matter to it).
std::optional<Money> PriceAt(const Tariff& tariff, int32_t minutes) {
  auto priced = PriceOf(tariff, 1'700'000'000'000, minutes);
  return priced ? std::optional<Money>(priced->price) : std::nullopt;
}

TEST(Billing, SalesRoundUpToAMinorUnitAndCostAtLeastTheMinimum) {
  Tariff hourly = OnePriceTariff(1, "Standard", 300);  // 3.00 an hour: 5 per minute
  EXPECT_EQ(PriceAt(hourly, 60), 300);
  EXPECT_EQ(PriceAt(hourly, 1), 5);
  Tariff odd = OnePriceTariff(2, "Odd", 250);  // 4.1666... per minute
  EXPECT_EQ(PriceAt(odd, 1), 5) << "rounded up, never down";
  EXPECT_EQ(PriceAt(odd, 7), 30) << "29.17 -> 30, rounded once for the whole sale";
  EXPECT_EQ(PriceAt(odd, 12), 50) << "exact";
  Tariff minimum = OnePriceTariff(3, "VIP", 600, 250);
  EXPECT_EQ(PriceAt(minimum, 10), 250);
  EXPECT_EQ(PriceAt(minimum, 30), 300);
  EXPECT_EQ(PriceAt(OnePriceTariff(4, "Free", 0), 60), 0);

  // The dearest tariff and the longest session stay exact, and so does a
  // member's discount of it.
  Tariff dearest = OnePriceTariff(5, "Max", kMaxHourPrice, kMaxHourPrice);
  EXPECT_EQ(PriceAt(dearest, kMaxSessionMinutes), kMaxHourPrice * 7 * 24);
  EXPECT_EQ(Discounted(kMaxHourPrice * 7 * 24, 1), kMaxHourPrice * 7 * 24 / 100 * 99);
  for (int32_t minutes : {0, -5, kMaxSessionMinutes + 1}) {
    EXPECT_FALSE(PriceAt(hourly, minutes)) << minutes;
  }
  EXPECT_FALSE(PriceAt(OnePriceTariff(6, "Over", kMaxHourPrice + 1), 60));
  EXPECT_FALSE(PriceAt(OnePriceTariff(7, "Negative", -1), 60));
  EXPECT_TRUE(TariffProblem(OnePriceTariff(8, "", 100)));

  // A discount after the minimum, rounded in the club's favour.
  EXPECT_EQ(Discounted(PriceAt(minimum, 10).value(), 15), 213) << "212.5 -> 213";
  EXPECT_EQ(Discounted(125, 15), 107) << "106.25 -> 107";
  EXPECT_EQ(Discounted(300, 0), 300);
  EXPECT_EQ(Discounted(300, 100), 0);
}

TEST(Billing, RefundsTheUnusedWholeMinutesAtThePriceTheyWereSoldAt) {
  Millis start = 1'700'000'000'000;
  Millis ends = start + 60 * 60'000;
  EXPECT_EQ(UnusedWholeMinutes(ends, start + 75'000), 58) << "58 min 45 s left: 58 whole";
  EXPECT_EQ(UnusedWholeMinutes(ends, ends - 59'999), 0);
  EXPECT_EQ(UnusedWholeMinutes(ends, ends + 5'000), 0) << "overrun";

  // 60 minutes at 3.00 an hour, then 30 added at 6.00 an hour (3.00):
  // the unused minutes are the last ones sold.
  std::vector<Sale> sales{{60, 300}, {30, 300}};
  EXPECT_EQ(RefundFor(sales, 20).amount, 200) << "20 of the 30 added, 10 each";
  EXPECT_EQ(RefundFor(sales, 30).amount, 300) << "all of the addition";
  RefundOffer both = RefundFor(sales, 40);
  EXPECT_EQ(both.minutes, 40);
  EXPECT_EQ(both.amount, 300 + 50) << "and 10 of the first 60 at 5 each";
  EXPECT_EQ(RefundShares(sales, 40), (std::vector<Money>{50, 300})) << "sale by sale";
  EXPECT_EQ(RefundFor(sales, 500).amount, 600) << "never more than was paid";
  EXPECT_EQ(RefundFor(sales, 500).minutes, 90);

  // A sale that cost its minimum refunds in proportion, rounded down; all of
  // it refunds the whole price.
  std::vector<Sale> minimum{{10, 250}};
  EXPECT_EQ(RefundFor(minimum, 3).amount, 75);
  EXPECT_EQ(RefundFor(minimum, 10).amount, 250);
  std::vector<Sale> odd{{7, 30}};
  EXPECT_EQ(RefundFor(odd, 1).amount, 4) << "4.28 rounded down";
  EXPECT_EQ(RefundFor({}, 30).amount, 0) << "a session sold without a tariff";

  // A sale across periods: 30 min at 1.20 and 30 at 3.00 (2.10). The
  // unused minutes are its last, at the price they were sold at.
  std::vector<Sale> across{{60, 210, {{30, 120}, {30, 300}}}};
  EXPECT_EQ(RefundFor(across, 30).amount, 150) << "the 30 at 3.00";
  EXPECT_EQ(RefundFor(across, 45).amount, 180) << "and 15 at 1.20";
  EXPECT_EQ(RefundFor(across, 60).amount, 210);
  // A package that refunds nothing takes the last minutes, and gives none.
  across.push_back(Sale{120, 1'500, {}, false});
  EXPECT_EQ(RefundFor(across, 150).minutes, 150);
  EXPECT_EQ(RefundFor(across, 150).amount, 150) << "30 of the first sale's, none of the package's";
  across.back().refundable = true;
  EXPECT_EQ(RefundFor(across, 60).amount, 750) << "a package's price per minute";

  // The dearest sale there can be, refunded but for one minute: exact, and
  // never more than was paid.
  Money dearest = kMaxHourPrice * 7 * 24;
  std::vector<Sale> most{
      {kMaxSessionMinutes, dearest, {{1, kMaxHourPrice}, {kMaxSessionMinutes - 1, kMaxHourPrice}}}};
  EXPECT_EQ(RefundFor(most, kMaxSessionMinutes - 1).amount, dearest - kMaxHourPrice / 60 - 1);
}

// The console's time zone, fixed for the test: Sofia, where the clocks go
// forward at 03:00 on the last Sunday of March and back at 04:00 on the last
// Sunday of October.
class InSofia : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    saved_ = zone ? std::optional<std::string>(zone) : std::nullopt;
    setenv("TZ", "Europe/Sofia", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // A local time in Sofia.
  static Millis At(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<Millis>(std::mktime(&t)) * 1000;
  }
  static Tariff Periods(std::vector<std::string> texts, Money minimum = 0) {
    Tariff tariff{1, "Week", minimum, {}};
    for (const auto& text : texts) {
      std::string why;
      auto period = ParsePeriod(text, why);
      EXPECT_TRUE(period) << text << ": " << why;
      tariff.periods.push_back(period.value_or(TariffPeriod{}));
    }
    return tariff;
  }
  static std::string Parts(const std::optional<Priced>& priced) {
    std::string text;
    for (const auto& part : priced.value().parts) {
      text +=
          (text.empty() ? "" : " ") + std::to_string(part.minutes) + "@" + MoneyText(part.per_hour);
    }
    return text;
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(InSofia, ATariffPricesEveryMinuteOfTheWeekOnce) {
  std::string why;
  for (const char* bad : {"Mon-Fro 08:00-18:00 2.00", "Mon 8:00-18:00 2.00", "Mon 08:00-25:00 2",
                          "Mon 08:00-18:00 2,50", "Mon,08:00-18:00 2", "Mon, 08:00-18:00 2"}) {
    EXPECT_FALSE(ParsePeriod(bad, why)) << bad;
  }
  EXPECT_EQ(PeriodText(ParsePeriod("fri-mon 22:00-24:00 1.5", why).value()),
            "Mon,Fri-Sun 22:00-24:00 1.50");
  EXPECT_EQ(PeriodText(ParsePeriod("daily 00:00-00:00 3", why).value()),
            "Mon-Sun 00:00-24:00 3.00");
  EXPECT_EQ(OnePriceTariff(1, "T", 300).periods.size(), 1u);
  EXPECT_FALSE(TariffProblem(OnePriceTariff(1, "T", 300)));

  // Weekdays by day and by night: the weekend and Monday's small hours are
  // priced by nothing.
  Tariff week = Periods({"Mon-Fri 08:00-18:00 2.00", "Mon-Fri 18:00-08:00 3.00"});
  EXPECT_EQ(TariffProblem(week),
            "a tariff prices every minute of the week: no period prices Mon 00:00 to Mon 08:00");
  // Friday night belongs to Friday: it runs into Saturday's day.
  week.periods.push_back(Periods({"Sat-Sun 00:00-24:00 3.00"}).periods[0]);
  EXPECT_EQ(TariffProblem(week),
            "the periods 'Mon-Fri 18:00-08:00 3.00' and 'Sat-Sun 00:00-24:00 3.00' overlap: both "
            "price Sat 00:00");
  // The operator's guide's, whose weekend days run from 08:00 to 08:00.
  EXPECT_FALSE(TariffProblem(Periods(
      {"Mon-Fri 08:00-18:00 2.50", "Mon-Fri 18:00-08:00 3.50", "Sat-Sun 08:00-08:00 4.00"})));
  // Sunday night runs over the week's end into Monday morning.
  EXPECT_FALSE(TariffProblem(Periods(
      {"Mon-Fri 08:00-18:00 2.00", "Sun-Thu 18:00-08:00 1.00", "Fri-Sat 18:00-18:00 4.00"})));
}

TEST_F(InSofia, ASaleIsPricedByThePeriodOfEachOfItsMinutes) {
  Tariff day = Periods({"daily 06:00-18:00 1.20", "daily 18:00-06:00 3.00"});
  // Across a period's boundary: 30 minutes at 2 a minute, 30 at 5.
  auto evening = PriceOf(day, At(2024, 5, 15, 17, 30), 60);
  EXPECT_EQ(evening->price, 210);
  EXPECT_EQ(Parts(evening), "30@1.20 30@3.00");
  // Seconds into a minute: each minute is the period's its start is in.
  EXPECT_EQ(Parts(PriceOf(day, At(2024, 5, 15, 17, 30) + 59'000, 60)), "30@1.20 30@3.00");
  // At least the minimum.
  Tariff minimum = day;
  minimum.minimum = 500;
  EXPECT_EQ(PriceOf(minimum, At(2024, 5, 15, 17, 30), 60)->price, 500);

  // Sunday night belongs to Sunday (free), and runs into Monday's day.
  Tariff week =
      Periods({"daily 06:00-22:00 3.00", "Mon-Sat 22:00-06:00 1.20", "Sun 22:00-06:00 0.00"});
  auto sunday = PriceOf(week, At(2024, 5, 19, 23, 0), 480);
  EXPECT_EQ(Parts(sunday), "420@0.00 60@3.00");
  EXPECT_EQ(sunday->price, 300);
  EXPECT_EQ(Parts(PriceOf(week, At(2024, 5, 20, 23, 0), 480)), "420@1.20 60@3.00") << "Monday";

  // Six elapsed hours from midnight at 1.20 by night, 6.00 by day: on the
  // night the clocks go forward the hour 03:00-04:00 is not there, so the
  // night ends an hour sooner; on the night they go back, 03:00-04:00 comes
  // twice and is priced twice.
  Tariff nights = Periods({"daily 00:00-06:00 1.20", "daily 06:00-24:00 6.00"});
  EXPECT_EQ(Parts(PriceOf(nights, At(2024, 3, 30, 0, 0), 360)), "360@1.20");
  auto spring = PriceOf(nights, At(2024, 3, 31, 0, 0), 360);
  EXPECT_EQ(Parts(spring), "300@1.20 60@6.00");
  EXPECT_EQ(spring->price, 600 + 600);
  EXPECT_EQ(Parts(PriceOf(nights, At(2024, 10, 27, 0, 0), 420)), "420@1.20");
  EXPECT_EQ(Parts(PriceOf(nights, At(2024, 10, 28, 0, 0), 420)), "360@1.20 60@6.00");
}

TEST_F(InSofia, AWindowPackageGivesTheTimeToItsEnd) {
  Package night{1, "Night", 1'500, 0, PackageWindow{22 * 60, 8 * 60, 5 * 60}, false, {1}};
  ASSERT_FALSE(PackageProblem(night));
  std::string why;
  auto minutes = [&](Millis now, std::optional<Millis> from = std::nullopt) {
    return PackageMinutes(night, now, from.value_or(now), why);
  };
  EXPECT_EQ(minutes(At(2024, 5, 15, 23, 30)), 510) << "23:30 to 08:00";
  EXPECT_EQ(minutes(At(2024, 5, 15, 22, 0)), 600);
  EXPECT_EQ(minutes(At(2024, 5, 16, 4, 59)), 181);
  EXPECT_EQ(minutes(At(2024, 5, 15, 23, 30) + 20'000), 510) << "a minute begun is given whole";
  EXPECT_EQ(minutes(At(2024, 10, 26, 23, 30)), 570) << "the clocks go back that night";
  EXPECT_EQ(minutes(At(2024, 3, 30, 23, 30)), 450) << "the clocks go forward";
  // Added to a session that ends at 02:00: to 08:00 from there.
  EXPECT_EQ(minutes(At(2024, 5, 15, 23, 30), At(2024, 5, 16, 2, 0)), 360);
  EXPECT_FALSE(minutes(At(2024, 5, 15, 23, 30), At(2024, 5, 16, 9, 0)));
  EXPECT_EQ(why, "the session's time runs past the end of 'Night' at 08:00");
  for (Millis outside : {At(2024, 5, 16, 5, 0), At(2024, 5, 16, 12, 0), At(2024, 5, 15, 21, 59)}) {
    EXPECT_FALSE(minutes(outside));
    EXPECT_EQ(why, "'Night' is sold from 22:00 until 05:00");
  }
  Package fixed{2, "3 hours", 800, 180, std::nullopt, true, {1}};
  EXPECT_EQ(PackageMinutes(fixed, At(2024, 5, 16, 12, 0), At(2024, 5, 16, 12, 0), why), 180);
  EXPECT_TRUE(PackageProblem(Package{3, "Both", 100, 60, night.window, true, {}}));
  EXPECT_TRUE(PackageProblem(Package{4, "Late", 100, 0, PackageWindow{600, 720, 800}, true, {}}))
      << "a last sale after the window's end";
}

TEST(Billing, AShiftsCashAddsUpAndRefusesToOverflow) {
  auto open = TotalsOf(10'000, {{300, 450}, {200}, {150}, {2'000}, {500}}, std::nullopt);
  ASSERT_TRUE(open);
  EXPECT_EQ(open->sales, 750);
  EXPECT_EQ(open->refunds, 200);
  EXPECT_EQ(open->voids, 150);
  EXPECT_EQ(open->top_ups, 2'000);
  EXPECT_EQ(open->payouts, 500);
  EXPECT_EQ(open->expected, 11'900) << "top-ups in, pay-outs out";
  EXPECT_FALSE(open->difference);
  auto short_by = TotalsOf(10'000, {{300, 450}, {200}, {}, {}, {}}, 10'500);
  EXPECT_EQ(short_by->difference, -50);
  EXPECT_EQ(TotalsOf(0, {}, 0)->difference, 0);
  EXPECT_FALSE(TotalsOf(INT64_MAX, {{1}, {}, {}, {}, {}}, std::nullopt));
  EXPECT_FALSE(TotalsOf(0, {{INT64_MAX, 1}, {}, {}, {}, {}}, std::nullopt));
  EXPECT_FALSE(TotalsOf(INT64_MAX, {{}, {}, {}, {1}, {}}, std::nullopt))
      << "a top-up past the most";
  EXPECT_FALSE(TotalsOf(INT64_MIN, {{}, {}, {1}, {}, {}}, std::nullopt))
      << "a void below the least";
  EXPECT_FALSE(TotalsOf(INT64_MIN, {{}, {}, {}, {}, {1}}, std::nullopt));
  EXPECT_FALSE(TotalsOf(1, {}, INT64_MIN)) << "counted minus expected can't overflow";
}

TEST(Billing, AmountsAndMinutesAsOperatorsWriteThem) {
  EXPECT_EQ(ParseMoney("12"), 1200);
  EXPECT_EQ(ParseMoney("12.3"), 1230);
  EXPECT_EQ(ParseMoney("0.05"), 5);
  EXPECT_EQ(ParseMoney("10000000.00"), kMaxHourPrice);
  for (const char* bad : {"", ".5", "12.", "12.345", "-1", "1,50", "1e3", " 1", "10000000.01",
                          "99999999999999999999"}) {
    EXPECT_FALSE(ParseMoney(bad)) << bad;
  }
  EXPECT_EQ(MoneyText(1230), "12.30");
  EXPECT_EQ(MoneyText(5), "0.05");
  EXPECT_EQ(MoneyText(-50), "-0.50");
  EXPECT_EQ(MoneyText(INT64_MIN), "-92233720368547758.08");

  EXPECT_EQ(ParseMinutes("15"), 15);
  EXPECT_EQ(ParseMinutes("0015"), 15) << "leading zeros";
  EXPECT_EQ(ParseMinutes("1"), 1);
  EXPECT_EQ(ParseMinutes("10080"), 10080);
  EXPECT_EQ(ParseMinutes("00000000000000000000010080"), 10080);
  for (const char* bad : {"", "0", "000", "10081", "6o", "4,5", "4.5", "15.0", "1e1", "+15", "-15",
                          " 15", "15 ", "١٥", "99999999999999999999", "0x10"}) {
    EXPECT_FALSE(ParseMinutes(bad)) << bad;
  }
}

TEST(Billing, TheRoomFileSeedsTheTill) {
  RoomPlan plan = ParseRoomPlan(
      "currency BGN\n"
      "tariff Standard 3.00\n"
      "tariff \"V I P\" 5.50 minimum 2.5\n"
      "\"PC 0\" 10.0.0.20\n"
      "group \"Main hall\" Standard\n"
      "\"PC 1\" 10.0.0.21 1 1\n"
      "group Booths \"V I P\"\n"
      "\"tariff\" 10.0.0.31\n");
  EXPECT_EQ(plan.till.currency, "BGN");
  ASSERT_EQ(plan.till.tariffs.size(), 2u);
  EXPECT_EQ(plan.till.tariffs[1].periods.at(0).per_hour, 550);
  EXPECT_EQ(plan.till.tariffs[1].minimum, 250);
  ASSERT_EQ(plan.stations.size(), 3u);
  EXPECT_EQ(plan.stations[2].name, "tariff") << "a quoted keyword is a station's name";
  using Member = std::pair<std::string, std::string>;
  EXPECT_EQ(plan.till.members,
            (std::vector<Member>{{"10.0.0.21", "Main hall"}, {"10.0.0.31", "Booths"}}));

  struct Bad {
    const char* text;
    const char* says;
  };
  for (const Bad& bad : {
           Bad{"currency BGN\ntariff A 3,50\n", "line 2: '3,50' is not an amount"},
           Bad{"currency BGN\ntariff A 99999999\n", "line 2: '99999999' is not an amount"},
           Bad{"currency BGN\ntariff A 3 min 1\n", "line 2: expected 'tariff NAME"},
           Bad{"currency BGN\ntariff A 3\ntariff A 4\n", "line 3: the tariff 'A' is named twice"},
           Bad{"currency BGN\ngroup G A\n", "line 2: no tariff 'A' above this line"},
           Bad{"currency B-N\n", "line 1: expected 'currency CODE'"},
           Bad{"tariff A 3\n", "names no currency"},
       }) {
    try {
      ParseRoomPlan(bad.text);
      ADD_FAILURE() << bad.text;
    } catch (const Refused& e) {
      EXPECT_NE(std::string(e.what()).find(bad.says), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace zalvo::console
