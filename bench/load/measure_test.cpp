#include "bench/load/measure.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zalvo::bench {
namespace {

TEST(PercentileTest, NearestRankOverUnsortedSamples) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) {
    samples.push_back(i);
  }
  EXPECT_EQ(Percentile(samples, 0.5), 50);
  EXPECT_EQ(Percentile(samples, 0.99), 99);
  EXPECT_EQ(Percentile(samples, 1.0), 100);
  EXPECT_EQ(Percentile(samples, 0.0), 1);

  std::vector<double> one = {7.5};
  EXPECT_EQ(Percentile(one, 0.99), 7.5);
  std::vector<double> none;
  EXPECT_EQ(Percentile(none, 0.5), std::nullopt);
  // A single slow sample among a hundred is the 100th percentile, not the 99th.
  std::vector<double> spike(99, 10.0);
  spike.push_back(5000);
  EXPECT_EQ(Percentile(spike, 0.99), 10.0);
}

constexpr const char* kProcNetUdp =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops\n"
    "  312: 0100007F:1A6F 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        "
    "0 111 2 0000000000000000 0\n"
    "  312: 00000000:1A6F 00000000:0000 07 00000000:00000A00 00:00000000 00000000     0        "
    "0 4242 2 0000000000000000 1234567\n"
    "  314: 00000000:1A71 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        "
    "0 5151 2 0000000000000000 0\n"
    "  999: garbage line\n";

TEST(FindUdpSocketTest, PicksTheSocketOnAllAddressesForThePort) {
  auto agent = FindUdpSocket(kProcNetUdp, 6767);
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->inode, 4242u);
  EXPECT_EQ(agent->rx_queue_bytes, 0xA00u);
  EXPECT_EQ(agent->drops, 1234567u);

  auto echo = FindUdpSocket(kProcNetUdp, 6769);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->inode, 5151u);
  EXPECT_EQ(echo->drops, 0u);

  EXPECT_FALSE(FindUdpSocket(kProcNetUdp, 6868));
  EXPECT_FALSE(FindUdpSocket("", 6767));
  EXPECT_FALSE(FindUdpSocket("header only\n", 6767));
}

TEST(ResultsTest, RoundTripKeepsOrderAndValues) {
  Results results;
  results.Set("rtt.none.agent.median_us", 41.25);
  results.Set("rate.agent.per_s", 123456);
  results.Set("rtt.none.agent.median_us", 40.5);  // replaced in place
  std::string text = results.Serialize();
  EXPECT_EQ(text, "rtt.none.agent.median_us 40.5\nrate.agent.per_s 123456\n");
  Results back = Results::Parse(text);
  EXPECT_EQ(back.Get("rate.agent.per_s"), 123456);
  EXPECT_EQ(back.Get("rtt.none.agent.median_us"), 40.5);
  EXPECT_EQ(back.Get("missing"), std::nullopt);
  EXPECT_EQ(back.Serialize(), text);
}

TEST(ResultsTest, RefusesLinesThatAreNotKeyAndNumber) {
  EXPECT_THROW(Results::Parse("key\n"), std::runtime_error);
  EXPECT_THROW(Results::Parse("key 12abc\n"), std::runtime_error);
  EXPECT_THROW(Results::Parse("key 1 2\n"), std::runtime_error);
  EXPECT_THROW(Results::Parse("key number\n"), std::runtime_error);
  EXPECT_EQ(Results::Parse("\nkey 1e3\n\n").Get("key"), 1000);
}

TEST(RenderTableTest, MedianAndSpreadOverRunsWithGaps) {
  std::vector<Results> runs(3);
  runs[0].Set("a", 10);
  runs[1].Set("a", 12);
  runs[2].Set("a", 11);
  runs[0].Set("b", 1.5);  // only in the first run
  std::string table = RenderTable(runs, {{"first", "a", 1}, {"second", "b", 2}, {"none", "c"}});
  EXPECT_NE(table.find("| first | 10.0 | 12.0 | 11.0 | 11.0 | 18% |"), std::string::npos) << table;
  EXPECT_NE(table.find("| second | 1.50 | | | 1.50 | |"), std::string::npos) << table;
  EXPECT_EQ(table.find("none"), std::string::npos) << table;

  std::vector<Results> two(2);
  two[0].Set("a", 1);
  two[1].Set("a", 3);
  EXPECT_NE(RenderTable(two, {{"x", "a", 0}}).find("| x | 1 | 3 | 2 | 100% |"), std::string::npos);
}

}  // namespace
}  // namespace zalvo::bench
