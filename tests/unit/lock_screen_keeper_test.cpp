// When the service starts the lock screen again in the customer's session.
#include <gtest/gtest.h>

#include "agent/lock_screen_keeper.h"

#include <string>
#include <vector>

#include "platform/error.h"

namespace zalvo::agent {
namespace {

constexpr ConsoleSession kMissing{true, false};
constexpr ConsoleSession kRunning{true, true};

// Looks every second from `from` until the keeper starts the lock screen;
// the time of the start, or 0 when it did not start within `seconds`.
uint64_t NextStart(LockScreenKeeper& keeper, uint64_t from, int seconds = 120) {
  for (uint64_t now = from; now <= from + static_cast<uint64_t>(seconds) * 1000; now += 1000) {
    if (keeper.ShouldStart(kMissing, now)) {
      keeper.Started(now);
      return now;
    }
  }
  return 0;
}

TEST(LockScreenKeeper, StartsAMissingLockScreenAtOnceAndPausesLongerWhileItKeepsEndingSoon) {
  LockScreenKeeper keeper;
  EXPECT_FALSE(keeper.ShouldStart({false, false}, 1000));  // nobody logged on
  EXPECT_FALSE(keeper.ShouldStart(kRunning, 1000));
  ASSERT_TRUE(keeper.ShouldStart(kMissing, 1000));
  keeper.Started(1000);

  // Ended soon after each start: 0, 2, 4, 8, ... seconds, at most a minute.
  uint64_t start = 1000;
  uint64_t expected_pause = 0;
  for (int i = 0; i < 8; ++i) {
    const uint64_t next = NextStart(keeper, start + 1000);
    ASSERT_NE(next, 0u) << "start " << i;
    EXPECT_EQ(next - start, std::max<uint64_t>(expected_pause, 1000)) << "start " << i;
    expected_pause = expected_pause == 0 ? LockScreenKeeper::kFirstPauseMs
                                         : std::min<uint64_t>(expected_pause * 2, 60000);
    start = next;
  }
  EXPECT_EQ(expected_pause, LockScreenKeeper::kLongestPauseMs);

  // Once it has lasted, the next end is answered at once again.
  EXPECT_FALSE(keeper.ShouldStart(kRunning, start + 31000));
  EXPECT_EQ(NextStart(keeper, start + 32000), start + 32000);
  EXPECT_EQ(NextStart(keeper, start + 33000), start + 33000);  // and again right after: 0
  EXPECT_EQ(NextStart(keeper, start + 34000), start + 35000);  // then 2 s after it
  // A log-off ends the pauses: the next log-on gets one at once.
  EXPECT_FALSE(keeper.ShouldStart(kMissing, start + 36000));
  EXPECT_FALSE(keeper.ShouldStart({false, false}, start + 36000));
  EXPECT_TRUE(keeper.ShouldStart(kMissing, start + 36000));
}

// A console whose look and start the test sets.
struct Console final : ConsoleLockScreen {
  ConsoleSession Look() override {
    if (!look_fails.empty()) {
      throw platform::PlatformError(look_fails);
    }
    return session;
  }
  std::string Start() override {
    ++starts;
    session.lock_screen_running = start_fails.empty();
    return start_fails;
  }
  ConsoleSession session = kMissing;
  std::string look_fails;
  std::string start_fails;
  int starts = 0;
};

TEST(LockScreenUpkeep, StartsThroughTheConsoleAndLogsEachNewFailureOnce) {
  Console console;
  std::vector<std::string> log;
  LockScreenUpkeep upkeep(console, [&](std::string_view line) { log.emplace_back(line); });

  console.look_fails = "WTSQueryUserToken: access denied";
  upkeep.Upkeep(0);
  upkeep.Upkeep(1000);
  EXPECT_EQ(console.starts, 0);
  EXPECT_EQ(log,
            std::vector<std::string>{"console session not seen: WTSQueryUserToken: access denied"});

  console.look_fails.clear();
  console.start_fails = "CreateProcessAsUserW: file not found";
  for (uint64_t now = 2000; now <= 20000; now += 1000) {
    upkeep.Upkeep(now);
  }
  // Failed starts wait as ended ones do (0, 2, 4, 8 s), and say so once.
  EXPECT_EQ(console.starts, 5);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(log.back(),
            "lock screen not started in the console session: CreateProcessAsUserW: file not found");

  console.start_fails.clear();
  upkeep.Upkeep(40000);
  EXPECT_EQ(log.back(), "lock screen started in the console session");
  upkeep.Upkeep(41000);  // running now: nothing to do
  EXPECT_EQ(console.starts, 6);
}

}  // namespace
}  // namespace zalvo::agent
