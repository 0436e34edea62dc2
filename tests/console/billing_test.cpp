// The till's arithmetic: what a sale costs, what an early end refunds, a
// shift's cash, amounts as operators write them, and the room file's till.
#include <gtest/gtest.h>

#include "console/core/billing.h"
#include "console/core/room_file.h"

namespace zalvo::console {
namespace {

TEST(Billing, SalesRoundUpToAMinorUnitAndCostAtLeastTheMinimum) {
  Tariff hourly{1, "Standard", 300, 0};  // 3.00 an hour: 5 per minute
  EXPECT_EQ(PriceOf(hourly, 60), 300);
  EXPECT_EQ(PriceOf(hourly, 1), 5);
  Tariff odd{2, "Odd", 250, 0};  // 4.1666... per minute
  EXPECT_EQ(PriceOf(odd, 1), 5) << "rounded up, never down";
  EXPECT_EQ(PriceOf(odd, 7), 30) << "29.17 -> 30, rounded once for the whole sale";
  EXPECT_EQ(PriceOf(odd, 12), 50) << "exact";
  Tariff minimum{3, "VIP", 600, 250};
  EXPECT_EQ(PriceOf(minimum, 10), 250);
  EXPECT_EQ(PriceOf(minimum, 30), 300);
  Tariff free_hour{4, "Free", 0, 0};
  EXPECT_EQ(PriceOf(free_hour, 60), 0);

  // The dearest tariff and the longest session stay exact.
  Tariff dearest{5, "Max", kMaxHourPrice, kMaxHourPrice};
  EXPECT_EQ(PriceOf(dearest, kMaxSessionMinutes), kMaxHourPrice * 7 * 24);
  for (int32_t minutes : {0, -5, kMaxSessionMinutes + 1}) {
    EXPECT_FALSE(PriceOf(hourly, minutes)) << minutes;
  }
  EXPECT_FALSE(PriceOf(Tariff{6, "Over", kMaxHourPrice + 1, 0}, 60));
  EXPECT_FALSE(PriceOf(Tariff{7, "Negative", -1, 0}, 60));
  EXPECT_TRUE(TariffProblem(Tariff{8, "", 100, 0}));
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
}

TEST(Billing, AShiftsCashAddsUpAndRefusesToOverflow) {
  auto open = TotalsOf(10'000, {300, 450}, {200}, {150}, std::nullopt);
  ASSERT_TRUE(open);
  EXPECT_EQ(open->sales, 750);
  EXPECT_EQ(open->refunds, 200);
  EXPECT_EQ(open->voids, 150);
  EXPECT_EQ(open->expected, 10'400);
  EXPECT_FALSE(open->difference);
  auto short_by = TotalsOf(10'000, {300, 450}, {200}, {}, 10'500);
  EXPECT_EQ(short_by->difference, -50);
  EXPECT_EQ(TotalsOf(0, {}, {}, {}, 0)->difference, 0);
  EXPECT_FALSE(TotalsOf(INT64_MAX, {1}, {}, {}, std::nullopt));
  EXPECT_FALSE(TotalsOf(0, {INT64_MAX, 1}, {}, {}, std::nullopt));
  EXPECT_FALSE(TotalsOf(INT64_MIN, {}, {}, {1}, std::nullopt)) << "a void below the least";
  EXPECT_FALSE(TotalsOf(1, {}, {}, {}, INT64_MIN)) << "counted minus expected can't overflow";
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
  EXPECT_EQ(plan.till.tariffs[1].per_hour, 550);
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
