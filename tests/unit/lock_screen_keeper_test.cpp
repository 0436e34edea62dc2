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
const std::string kPolicies = "HKCU\\" + std::string(settings::kSystemPoliciesKey);

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

// What the service's look sees of the console session the test sets: the
// cover while the lock screen runs, has its window, answers and is locked.
struct Cover final : platform::LockCover {
  explicit Cover(Console& watched) : console(watched) {}
  platform::CoverLook LookAtCover() override {
    if (!look_fails.empty()) {
      throw platform::PlatformError(look_fails);
    }
    const bool has_window = console.session.lock_screen_running && window;
    platform::CoverLook look{has_window && console.locked && !frozen, has_window, false, "",
                             std::nullopt};
    if (!look.covered) {
      look.seen = frozen ? "the lock screen did not answer" : "no lock screen window";
    }
    return look;
  }
  uint32_t EndLockScreens() override {
    ++ends;
    console.session.lock_screen_running = false;
    return 1;
  }
  void LogOffCustomer() override {
    ++log_offs;
    console.session = {};
  }

  Console& console;
  bool frozen = false;
  bool window = true;
  std::string look_fails;
  int ends = 0;
  int log_offs = 0;
};

struct Station {
  // With `checked`, the lock held is confirmed through the cover.
  explicit Station(bool checked = false)
      : upkeep(
            console, machine, [this](std::string_view line) { log.emplace_back(line); },
            checked ? &cover : nullptr) {
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
  Cover cover{console};
  Lines log;
  uint64_t now = 0;
  bool session = false;
  LockScreenUpkeep upkeep;
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
                       std::string(settings::kSystemPoliciesKey) + " can't be opened or created"}));
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

using Step = LockConfirmation::Step;

constexpr platform::CoverLook Seen(bool covered, bool dialog = false) {
  return {covered, true, dialog, {}, std::nullopt};
}

// The steps that act, by the second they came at.
using Acts = std::vector<std::pair<uint64_t, Step>>;
bool ActsOn(Step step) {
  return step == Step::kEndLockScreen || step == Step::kLogOff;
}

TEST(LockConfirmation, ANewLockScreenHasItsAllowanceThenIsEndedThenTheCustomerIsLoggedOff) {
  const platform::CoverLook hidden = Seen(false);
  LockConfirmation c;
  c.Started(0);
  Acts acts;
  bool running = true;
  for (uint64_t second = 0; second <= 90; ++second) {
    const Step step = c.Next(&hidden, running, second * 1000);
    if (second < LockConfirmation::kAllowanceMs / 1000) {
      EXPECT_EQ(step, Step::kAllowance) << second;
    }
    if (ActsOn(step)) {
      acts.emplace_back(second, step);
    }
    if (step == Step::kEndLockScreen) {
      running = false;
    } else if (!running) {
      running = true;  // the keeper's start, a tick after the end
      c.Started(second * 1000);
    }
  }
  // Ended 10 s after its 15 s; the next one gets its 15 s too, and 30 s
  // after the end the customer is logged off (asked again 30 s later).
  EXPECT_EQ(acts, (Acts{{25, Step::kEndLockScreen}, {55, Step::kLogOff}, {85, Step::kLogOff}}));

  // A look asked for before the lock screen ran says nothing of it: the
  // cover it saw (of the one before) does not end the allowance.
  LockConfirmation fresh;
  fresh.Started(5000);
  platform::CoverLook before = Seen(true);
  before.asked_at_ms = 4999;
  EXPECT_EQ(fresh.Next(&before, true, 6000), Step::kAllowance);
  before.asked_at_ms = 5000;
  EXPECT_EQ(fresh.Next(&before, true, 7000), Step::kConfirmed);

  // A confirmed lock screen that is hidden or frozen later has no allowance:
  // ended 10 s after the first look that did not confirm it, the customer
  // logged off 30 s after that, however often the cover shows meanwhile.
  // 30 s of confirmed looks end the episode.
  const platform::CoverLook covered = Seen(true);
  LockConfirmation later;
  later.Started(0);
  EXPECT_EQ(later.Next(&hidden, true, 20000), Step::kUnconfirmed);
  for (uint64_t second = 29; second < 59; ++second) {
    EXPECT_EQ(later.Next(&covered, true, second * 1000), Step::kConfirmed);
  }
  EXPECT_TRUE(later.unconfirmed());
  EXPECT_EQ(later.Next(&covered, true, 59000), Step::kConfirmed);
  EXPECT_FALSE(later.unconfirmed());
  acts.clear();
  for (uint64_t second = 100; second <= 150; ++second) {
    const platform::CoverLook* look = second % 7 == 0 ? nullptr : &hidden;
    const Step step = later.Next(second % 5 == 2 ? &covered : look, true, second * 1000);
    if (ActsOn(step)) {
      acts.emplace_back(second, step);
    }
  }
  EXPECT_EQ(acts, (Acts{{110, Step::kEndLockScreen}, {140, Step::kLogOff}}));
}

TEST(LockConfirmation, ALockScreenEndedBeforeItShowsOrNoneAtAllEndsInALogOffWithinAMinute) {
  // The customer ends each new one within two seconds (or none is looked
  // at): nothing to end, and the log-off comes 55 s after the episode began.
  LockConfirmation c;
  Acts acts;
  for (uint64_t second = 0; second <= 70; ++second) {
    const bool running = second % 3 != 2;
    if (second % 3 == 0) {
      c.Started(second * 1000);
    }
    const Step step = c.Next(nullptr, running, second * 1000);
    if (ActsOn(step)) {
      acts.emplace_back(second, step);
    }
  }
  EXPECT_EQ(acts, (Acts{{55, Step::kLogOff}}));
}

TEST(LockConfirmation, TheSettingsDialogHoldsTheLockOffForTenMinutesAtMost) {
  const platform::CoverLook dialog = Seen(false, true);
  LockConfirmation c;
  c.Started(0);
  EXPECT_EQ(c.Next(&dialog, true, 0), Step::kDialogHold);
  // A look that could not be had keeps the hold.
  EXPECT_EQ(c.Next(nullptr, true, 300000), Step::kDialogHold);
  EXPECT_EQ(c.Next(&dialog, true, 599999), Step::kDialogHold);
  EXPECT_EQ(c.Next(&dialog, true, 600000), Step::kUnconfirmed);
  EXPECT_EQ(c.Next(&dialog, true, 609999), Step::kUnconfirmed);
  EXPECT_EQ(c.Next(&dialog, true, 610000), Step::kEndLockScreen);
  // Closed in time, it holds nothing; opened again, ten minutes afresh.
  LockConfirmation closed;
  EXPECT_EQ(closed.Next(&dialog, true, 0), Step::kDialogHold);
  const platform::CoverLook covered = Seen(true);
  EXPECT_EQ(closed.Next(&covered, true, 100000), Step::kConfirmed);
  EXPECT_EQ(closed.Next(&dialog, true, 200000), Step::kDialogHold);
  EXPECT_EQ(closed.Next(&dialog, true, 799999), Step::kDialogHold);
}

TEST(NoSessionMeansLocked,
     AnUnconfirmedLockEndsTheLockScreenThenLogsOffAndStartsThatFailStillWait) {
  Station s(true);
  s.Ticks(1);
  EXPECT_EQ(s.console.starts, 1);
  Lines log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "the lock is confirmed: the installed lock screen covers every monitor and "
                       "answers"),
            1);

  // Frozen: ended 10 s after the first look that did not confirm it, and
  // another started at once, each step said once.
  s.cover.frozen = true;
  s.Ticks(10);
  EXPECT_EQ(s.cover.ends, 0);
  s.Ticks(1);
  EXPECT_EQ(s.cover.ends, 1);
  s.cover.frozen = false;
  s.Ticks(1);
  EXPECT_EQ(s.console.starts, 2);
  EXPECT_EQ(s.Log(), (Lines{"the lock is not confirmed: the lock screen did not answer",
                            "the lock was not confirmed for 10 s (the lock screen did not "
                            "answer): the lock screen was ended (1 process(es)) and another is "
                            "started",
                            "lock screen started in the console session",
                            "the lock screen showed no lock while no session runs: told to lock"}));
  // Confirmed again once the cover has held for 30 s.
  s.Ticks(29);
  EXPECT_TRUE(s.Log().empty());
  s.Ticks(1);
  EXPECT_EQ(s.Log(), Lines{"the lock is confirmed: the installed lock screen covers every monitor "
                           "and answers"});

  // Ended by the customer each time it comes up, within a second of its
  // start: started again at the next tick, every time (no failed start).
  for (int i = 0; i < 6; ++i) {
    s.console.session.lock_screen_running = false;
    s.Ticks(1);
  }
  EXPECT_EQ(s.console.starts, 8);
  log = s.Log();
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& line) {
    return line.find("failed to start") != std::string::npos;
  })) << ::testing::PrintToString(log);

  // Gone before it showed a window: a failed start, and the pauses begin.
  s.cover.window = false;
  for (int i = 0; i < 6; ++i) {
    s.console.session.lock_screen_running = false;
    s.Ticks(1);
  }
  EXPECT_LT(s.console.starts, 14);
  log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "the lock screen failed to start 3 times in a row: the next start in 2 s "
                       "at the earliest"),
            1);
  // Never confirmed: the customer is logged off a minute after the episode
  // began at the latest, and the hold ends with the log-on.
  for (int i = 0; i < 60 && s.cover.log_offs == 0; ++i) {
    s.console.session.lock_screen_running = false;
    s.Ticks(1);
  }
  EXPECT_EQ(s.cover.log_offs, 1);
  s.Ticks(1);
  log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "the lock is still not confirmed (no lock screen window): the customer's "
                       "Windows session is logged off"),
            1)
      << ::testing::PrintToString(log);
  EXPECT_EQ(log.back(), "the customer is no longer logged on at the console");
}

}  // namespace
}  // namespace zalvo::agent
