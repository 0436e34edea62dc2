// The service's hold on the console session: the keeper's decision to start
// the lock screen, and the rule that no session running means locked.
#include <gtest/gtest.h>

#include "agent/lock_screen_keeper.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "settings/registry_names.h"
#include "tests/support/memory_registry.h"

namespace zalvo::agent {
namespace {

using Decision = LockScreenKeeper::Decision;
using platform::ConsoleSession;
using Lines = std::vector<std::string>;

// The customer at the console, as the look sees the session.
constexpr ConsoleSession Customer(bool running, std::optional<uint64_t> logon_age_ms = {},
                                  bool shell_starting = false) {
  ConsoleSession session;
  session.customer_logged_on = true;
  session.lock_screen_running = running;
  session.logon_age_ms = logon_age_ms;
  session.shell_starting = shell_starting;
  return session;
}

constexpr ConsoleSession kNobody{};
constexpr ConsoleSession kMissing = Customer(false);
constexpr ConsoleSession kRunning = Customer(true);

// Whether the keeper starts the missing lock screen at `now`; it then runs.
bool StartsAt(LockScreenKeeper& keeper, uint64_t now) {
  if (keeper.Decide(kMissing, now) != Decision::kStart) {
    return false;
  }
  keeper.Started(true, now);
  return true;
}

TEST(LockScreenKeeper, StartsAMissingLockScreenAtTheNextLookAndPausesOnlyForStartsThatFail) {
  LockScreenKeeper keeper;
  EXPECT_EQ(keeper.Decide(kNobody, 0), Decision::kLeave);
  EXPECT_EQ(keeper.Decide(kRunning, 0), Decision::kLeave);
  ASSERT_TRUE(StartsAt(keeper, 1000));
  // Ended (killed) after it came up: started again at the next look, every
  // time, however often.
  for (uint64_t start = 1000; start < 200000; start += 7000) {
    EXPECT_EQ(keeper.Decide(kRunning, start + 1000), Decision::kLeave);
    EXPECT_EQ(keeper.Decide(kRunning, start + 6000), Decision::kLeave);
    ASSERT_TRUE(StartsAt(keeper, start + 7000)) << start;
  }
  EXPECT_EQ(keeper.failures_in_a_row(), 0);

  // Gone within a few seconds of each start: three at once, then pauses of
  // 2, 4, 8 ... s, at most a minute. A failed start counts the same.
  LockScreenKeeper failing;
  uint64_t now = 0;
  std::vector<uint64_t> gaps;
  uint64_t last = 0;
  for (int starts = 0; starts < 12; now += 1000) {
    if (failing.Decide(kMissing, now) != Decision::kStart) {
      continue;
    }
    gaps.push_back(now - last);
    last = now;
    failing.Started(starts % 2 == 0, now);  // failed to start, or gone at the next look
    ++starts;
  }
  // An end is seen at the next look, a second after the start; a failed
  // start at once.
  EXPECT_EQ(gaps, (std::vector<uint64_t>{0, 1000, 1000, 3000, 4000, 9000, 16000, 33000, 60000,
                                         61000, 60000, 61000}));
  EXPECT_EQ(failing.pause_ms(), LockScreenKeeper::kLongestPauseMs);
  // One that lasts ends the pauses; so does a log-off.
  now += LockScreenKeeper::kLongestPauseMs;
  ASSERT_TRUE(StartsAt(failing, now));
  EXPECT_EQ(failing.Decide(kRunning, now + 1000), Decision::kLeave);
  EXPECT_EQ(failing.Decide(kRunning, now + 5000), Decision::kLeave);
  EXPECT_EQ(failing.failures_in_a_row(), 0);
  for (int i = 0; i < LockScreenKeeper::kFailuresBeforePause; ++i) {
    failing.Started(false, now + 6000);
  }
  EXPECT_EQ(failing.Decide(kMissing, now + 7000), Decision::kPause);
  EXPECT_EQ(failing.Decide(kNobody, now + 7000), Decision::kLeave);
  EXPECT_EQ(failing.Decide(kMissing, now + 7000), Decision::kStart);
}

TEST(LockScreenKeeper, WaitsForTheShellsOwnStartJustAfterALogOn) {
  LockScreenKeeper keeper;
  ConsoleSession just = Customer(false, 5000);
  EXPECT_EQ(keeper.Decide(just, 0), Decision::kWaitForLogOn);
  just.logon_age_ms = 19999;
  EXPECT_EQ(keeper.Decide(just, 14999), Decision::kWaitForLogOn);
  just.logon_age_ms = 20000;
  EXPECT_EQ(keeper.Decide(just, 15000), Decision::kStart);

  // While the system's log-on program runs, at most two minutes from the
  // first sight of the log-on when its time is not known.
  LockScreenKeeper slow;
  ConsoleSession starting = Customer(false, std::nullopt, true);
  EXPECT_EQ(slow.Decide(starting, 1000), Decision::kWaitForLogOn);
  EXPECT_EQ(slow.Decide(starting, 120999), Decision::kWaitForLogOn);
  EXPECT_EQ(slow.Decide(starting, 121000), Decision::kStart);
  starting.logon_age_ms = 30000;
  EXPECT_EQ(LockScreenKeeper().Decide(starting, 0), Decision::kWaitForLogOn);
  starting.logon_age_ms = 120000;
  EXPECT_EQ(LockScreenKeeper().Decide(starting, 0), Decision::kStart);
}

const std::string kWinlogon = "HKLM\\" + std::string(settings::kWinlogonKey);
const std::string kHold = "HKLM\\" + std::string(kHoldKey);
const std::string kPolicies = "HKCU\\" + std::string(kCustomerSystemPolicies);

// The console session as the test sets it: the customer's lock screen locks
// at the order and is started unlocked, as Windows starts it.
struct Console final : platform::ConsoleLockScreen {
  ConsoleSession Look() override {
    if (!look_fails.empty()) {
      throw platform::PlatformError(look_fails);
    }
    return session;
  }
  void Start() override {
    ++starts;
    if (!start_fails.empty()) {
      throw platform::PlatformError(start_fails);
    }
    session.lock_screen_running = true;
    locked = false;
  }
  platform::LockOrder TellToLock() override {
    ++orders;
    if (!order_fails.empty()) {
      throw platform::HelperFailure(order_fails);
    }
    if (!session.lock_screen_running) {
      return {};
    }
    platform::LockOrder order{1, locked ? 1u : 0u};
    locked = true;
    return order;
  }
  platform::Registry* CustomerHive() override {
    return session.customer_logged_on ? &hive : nullptr;
  }

  ConsoleSession session = kMissing;
  bool locked = false;
  int starts = 0;
  int orders = 0;
  std::string look_fails;
  std::string start_fails;
  std::string order_fails;
  testing::MemoryRegistry hive;
};

struct Station {
  Station() {
    machine.AddKey(kWinlogon);
    machine.SetString(kWinlogon, "ZalvoLogon", "0");
    machine.SetString(kWinlogon, "AutoAdminLogon", "1");
    console.hive.AddKey(kPolicies);
  }
  // One tick a second, with the service's session state.
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      upkeep.Upkeep(now += 1000, session);
    }
  }
  std::optional<uint32_t> TaskManager() const {
    return console.hive.Dword(kPolicies, "DisableTaskMgr");
  }
  std::optional<std::string> AutoAdminLogon() const {
    return machine.String(kWinlogon, "AutoAdminLogon");
  }
  Lines Log() { return std::exchange(log, {}); }

  testing::MemoryRegistry machine;
  Console console;
  Lines log;
  uint64_t now = 0;
  bool session = false;
  LockScreenUpkeep upkeep{console, machine,
                          [this](std::string_view line) { log.emplace_back(line); }};
};

TEST(NoSessionMeansLocked, TheCustomerAtTheConsoleIsHeldLockedEveryTickAndSaysWhatHappened) {
  Station s;
  s.console.hive.SetDword(kPolicies, "DisableTaskMgr", 0);
  s.Ticks(1);
  EXPECT_EQ(s.console.starts, 1);
  EXPECT_TRUE(s.console.locked);
  EXPECT_EQ(s.AutoAdminLogon(), "0");
  EXPECT_EQ(s.TaskManager(), 1u);
  EXPECT_EQ(s.machine.Dword(kHold, "TaskManagerBefore"), 0u);
  EXPECT_EQ(s.Log(), (Lines{"lock screen started in the console session",
                            "no session runs and the customer is logged on at the console: the "
                            "station is held locked",
                            "the lock screen showed no lock while no session runs: told to lock",
                            "AutoAdminLogon was \"1\" while no session runs: set to \"0\"",
                            "the customer's Task Manager disabled while no session runs "
                            "(DisableTaskMgr 1)"}));
  s.Ticks(5);
  EXPECT_EQ(s.console.orders, 6);  // told every tick, logged only when it showed no lock
  EXPECT_TRUE(s.Log().empty());

  // The customer kills it, unlocks it, writes AutoAdminLogon "1" and
  // Task Manager back: all back within the tick.
  s.console.session.lock_screen_running = false;
  s.machine.SetString(kWinlogon, "AutoAdminLogon", "1");
  s.console.hive.SetDword(kPolicies, "DisableTaskMgr", 0);
  s.Ticks(1);
  EXPECT_EQ(s.console.starts, 2);
  EXPECT_TRUE(s.console.locked);
  EXPECT_EQ(s.AutoAdminLogon(), "0");
  EXPECT_EQ(s.TaskManager(), 1u);
  EXPECT_EQ(s.Log().size(), 4u);

  // The log-on values say nothing: only the service's own state does.
  s.machine.SetString(kWinlogon, "ZalvoLogon", "1");
  s.machine.SetDword(kWinlogon, "LocalTimer", 3600);
  s.console.locked = false;
  s.Ticks(1);
  EXPECT_TRUE(s.console.locked);
  s.Log();

  // A session runs: the lock is the lock screen's own, Task Manager is
  // given back as the hold found it, AutoAdminLogon is left to the session.
  s.session = true;
  s.machine.SetString(kWinlogon, "AutoAdminLogon", "1");
  s.console.locked = false;
  const int orders = s.console.orders;
  s.Ticks(3);
  EXPECT_EQ(s.console.orders, orders);
  EXPECT_FALSE(s.console.locked);
  EXPECT_EQ(s.AutoAdminLogon(), "1");
  EXPECT_EQ(s.TaskManager(), 0u);
  EXPECT_EQ(s.machine.Dword(kHold, "TaskManagerHeld"), 0u);
  EXPECT_EQ(s.Log(), (Lines{"a session runs: the lock screen's lock and unlock are its own again",
                            "a session runs: the customer's Task Manager policy is back as the "
                            "hold found it (DisableTaskMgr 0)"}));

  // The club's own policy survives the next hold and session.
  s.console.hive.SetDword(kPolicies, "DisableTaskMgr", 1);
  s.session = false;
  s.Ticks(1);
  s.session = true;
  s.Ticks(1);
  EXPECT_EQ(s.TaskManager(), 1u);
}

TEST(NoSessionMeansLocked, NothingIsEnforcedOnAnotherAccountAndFailuresAreLoggedOnce) {
  Station s;
  s.console.session = {};  // the club's administrator at the console
  s.Ticks(3);
  EXPECT_EQ(s.console.starts + s.console.orders, 0);
  EXPECT_EQ(s.AutoAdminLogon(), "1");
  EXPECT_EQ(s.console.hive.writes().size() + s.machine.writes().size(), 0u);
  EXPECT_TRUE(s.Log().empty());

  // The helper fails, the customer's policies can't be written, the look
  // fails: each said once, and the rest of the hold goes on.
  s.console.session = kRunning;
  s.console.order_fails = "the session helper did not answer";
  s.console.hive.ReadOnly("HKCU");
  s.Ticks(3);
  EXPECT_EQ(s.AutoAdminLogon(), "0");
  EXPECT_EQ(s.Log(),
            (Lines{"no session runs and the customer is logged on at the console: the station is "
                   "held locked",
                   "the lock screen could not be told to lock: the session helper did not answer",
                   "AutoAdminLogon was \"1\" while no session runs: set to \"0\"",
                   "the customer's Task Manager not disabled: the customer's " +
                       std::string(kCustomerSystemPolicies) + " can't be opened or created"}));
  s.console.look_fails = "WTSQueryUserToken: access denied";
  s.Ticks(2);
  EXPECT_EQ(s.Log(), Lines{"console session not seen: WTSQueryUserToken: access denied"});
}

TEST(NoSessionMeansLocked, StartsThatFailAreLoggedAndPaused) {
  Station s;
  s.console.start_fails = "CreateProcessAsUser zalvoc.exe: file not found";
  s.Ticks(20);
  // At once three times, then after 2, 4 and 8 s.
  EXPECT_EQ(s.console.starts, 6);
  Lines log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "lock screen not started in the console session: CreateProcessAsUser "
                       "zalvoc.exe: file not found"),
            1);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "the lock screen failed to start 3 times in a row: the next start in 2 s "
                       "at the earliest"),
            1);
}

}  // namespace
}  // namespace zalvo::agent
