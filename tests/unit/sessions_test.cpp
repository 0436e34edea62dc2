// Sessions: the log-on values and their order, the marker rule of the forced
// restart, the lock at every end, the shutdown privilege, and failures that
// end only the operation they happen in.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "agent/command_dispatcher.h"
#include "agent/customer_account.h"
#include "agent/session_store.h"
#include "agent/sessions.h"
#include "agent/station_actions.h"
#include "platform/error.h"
#include "protocol/commands.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_registry.h"

namespace zalvo::agent {
namespace {

using settings::Key;
using Lines = std::vector<std::string>;

const std::string kWinlogon = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::string W(const std::string& name) {
  return kWinlogon + "\\" + name;
}

class SessionsTest : public ::testing::Test {
 protected:
  SessionsTest() : sessions(state, registry, desktop) { registry.AddKey(kWinlogon); }
  void Marker(const std::string& value) { registry.SetString(kWinlogon, "ZalvoLogon", value); }
  std::optional<std::string> Text(const std::string& name) {
    return registry.String(kWinlogon, name);
  }
  std::optional<uint32_t> Timer() { return registry.Dword(kWinlogon, "LocalTimer"); }
  // The writes of the hand-off, without those of the service's own key.
  Lines Handed() const {
    Lines handed;
    for (const std::string& write : registry.writes()) {
      if (write.rfind(kWinlogon, 0) == 0) {
        handed.push_back(write);
      }
    }
    return handed;
  }
  bool Restarted() const {
    return std::count(desktop.actions.begin(), desktop.actions.end(), "ShutDownSystem restart") > 0;
  }
  void Clear() {
    desktop.actions.clear();
    desktop.privilege_requests.clear();
  }

  AgentState state;
  testing::MemoryRegistry registry;
  testing::FakeDesktop desktop;
  Sessions sessions;
};

TEST_F(SessionsTest, FirstStartOnANewStationWritesTheFiveValuesInOrderWithoutARestart) {
  sessions.Start(1800);
  EXPECT_TRUE(state.session_active);
  EXPECT_EQ(Handed(), (Lines{W("AutoAdminLogon"), W("DefaultUserName"), W("DefaultPassword"),
                             W("ZalvoLogon"), W("LocalTimer")}));
  EXPECT_EQ(Text("AutoAdminLogon"), "1");
  EXPECT_EQ(Text("DefaultUserName"), "zalvo");
  EXPECT_EQ(Text("DefaultPassword"), "946");
  EXPECT_EQ(Text("ZalvoLogon"), "1");
  EXPECT_EQ(Timer(), 1800u);  // a double word, not text
  EXPECT_TRUE(desktop.actions.empty());
  // ShutDownMonitor off: the monitor is left alone.
}

TEST_F(SessionsTest, StartRestartsOnlyWhenThePreviousMarkerWasExactlyZero) {
  Marker("0");
  sessions.Start(2700);
  EXPECT_EQ(Timer(), 2700u);
  EXPECT_EQ(desktop.privilege_requests, Lines{"SeShutdownPrivilege"});
  EXPECT_EQ(desktop.actions, Lines{"ShutDownSystem restart"});

  // A start during a session renews the time without a restart.
  Clear();
  sessions.Start(600);
  EXPECT_EQ(Timer(), 600u);
  EXPECT_TRUE(desktop.actions.empty());

  for (const char* not_zero : {"", " 0", "00", "1"}) {
    Clear();
    Marker(not_zero);
    sessions.Start(state.remaining_seconds);
    EXPECT_FALSE(Restarted()) << "marker '" << not_zero << "'";
  }
  // A negative time is stored as its 32-bit pattern.
  sessions.Start(-300);
  EXPECT_EQ(Timer(), static_cast<uint32_t>(-300));
}

TEST_F(SessionsTest, StartSwitchesTheMonitorOnFirstWhenTheSettingIsOn) {
  state.settings.SetFlag(Key::ShutDownMonitor, true);
  sessions.Start(60);
  EXPECT_EQ(desktop.actions, Lines{"MonitorPower -1"});
  EXPECT_EQ(Timer(), 60u);
}

TEST_F(SessionsTest, EndWithTimeLeftOnlyKeepsTheCutTime) {
  Marker("1");
  state.session_active = true;
  sessions.End(30);
  EXPECT_TRUE(state.session_active);
  EXPECT_EQ(Handed(), Lines{W("LocalTimer")});
  EXPECT_EQ(Timer(), 30u);
  EXPECT_TRUE(desktop.actions.empty());
}

TEST_F(SessionsTest, EndWritesThreeValuesLocksAndRestartsUnlessTheMarkerWasZero) {
  Marker("1");
  registry.SetDword(kWinlogon, "LocalTimer", 1800);
  state.session_active = true;
  sessions.End(-10);
  EXPECT_FALSE(state.session_active);
  EXPECT_EQ(Handed(), (Lines{W("AutoAdminLogon"), W("ZalvoLogon"), W("LocalTimer")}));
  EXPECT_EQ(Text("AutoAdminLogon"), "0");
  EXPECT_EQ(Text("ZalvoLogon"), "0");
  EXPECT_EQ(Timer(), 0u);
  EXPECT_EQ(desktop.actions, (Lines{"LockWorkStation", "ShutDownSystem restart"}));

  // Ended again (the tick repeats it at every check): values and lock, no restart.
  Clear();
  sessions.End(state.remaining_seconds);
  EXPECT_EQ(desktop.actions, Lines{"LockWorkStation"});

  // An absent marker is not "0": a new station restarts at its first end.
  Clear();
  registry = testing::MemoryRegistry();
  registry.AddKey(kWinlogon);
  sessions.End(state.remaining_seconds);
  EXPECT_EQ(desktop.actions, (Lines{"LockWorkStation", "ShutDownSystem restart"}));
  EXPECT_EQ(Text("DefaultUserName"), std::nullopt);  // the account values stay as they were
}

TEST_F(SessionsTest, WithoutTheLogOnKeyNothingIsWrittenStartNeverAndEndAlwaysRestarts) {
  registry = testing::MemoryRegistry();
  sessions.Start(state.remaining_seconds);
  EXPECT_TRUE(state.session_active);
  EXPECT_TRUE(desktop.actions.empty());
  sessions.End(state.remaining_seconds);
  EXPECT_FALSE(state.session_active);
  EXPECT_EQ(desktop.actions, (Lines{"LockWorkStation", "ShutDownSystem restart"}));
  EXPECT_FALSE(registry.HasKey(kWinlogon));  // never created
  EXPECT_TRUE(Handed().empty());

  registry.AddKey(kWinlogon);
  registry.DenyOpen(kWinlogon);  // refused access counts as missing
  Clear();
  sessions.End(state.remaining_seconds);
  EXPECT_EQ(desktop.actions, (Lines{"LockWorkStation", "ShutDownSystem restart"}));
}

TEST_F(SessionsTest, ARefusedWriteEndsTheOperationKeepingWhatWasWritten) {
  Marker("0");
  registry.DenyWrite(kWinlogon, "DefaultPassword");
  EXPECT_THROW(sessions.Start(1800), platform::PlatformError);
  EXPECT_EQ(Handed(), (Lines{W("AutoAdminLogon"), W("DefaultUserName")}));
  EXPECT_EQ(Text("ZalvoLogon"), "0");
  EXPECT_FALSE(Restarted());  // the failure comes before the restart

  // The next operation is carried out in full.
  sessions.End(0);
  EXPECT_EQ(Text("AutoAdminLogon"), "0");
  EXPECT_EQ(Timer(), 0u);
  EXPECT_EQ(desktop.actions, Lines{"LockWorkStation"});

  // A refused end: no lock and no restart, the session is over in the state.
  registry.DenyWrite(kWinlogon, "LocalTimer");
  Marker("1");
  state.session_active = true;
  Clear();
  EXPECT_THROW(sessions.End(state.remaining_seconds), platform::PlatformError);
  EXPECT_FALSE(state.session_active);
  EXPECT_EQ(Text("ZalvoLogon"), "0");
  EXPECT_TRUE(desktop.actions.empty());
}

TEST_F(SessionsTest, AMarkerThatIsNotTextFailsBeforeAnyWrite) {
  registry.SetWrongType(kWinlogon, "ZalvoLogon");
  EXPECT_THROW(sessions.Start(state.remaining_seconds), platform::PlatformError);
  EXPECT_THROW(sessions.End(state.remaining_seconds), platform::PlatformError);
  EXPECT_TRUE(Handed().empty());
  EXPECT_TRUE(desktop.actions.empty());
}

TEST_F(SessionsTest, TheCustomerAccountIsLoggedOnAsALocalAccountOfThisComputer) {
  Lines log;
  Sessions own(state, registry, desktop, [&](std::string_view l) { log.emplace_back(l); },
               {"kunde", "STATION7", "S-1-5-21-1-2-3-1001"});
  own.Start(60);
  EXPECT_EQ(Handed(), (Lines{W("AutoAdminLogon"), W("DefaultUserName"), W("DefaultDomainName"),
                             W("DefaultPassword"), W("ZalvoLogon"), W("LocalTimer")}));
  EXPECT_EQ(Text("DefaultUserName"), "kunde");
  EXPECT_EQ(Text("DefaultDomainName"), "STATION7");
  EXPECT_EQ(Text("DefaultPassword"), "946");
}

TEST(CustomerAccount, StoredByTheInstallerOrTheDefaultAccountLookedUpByName) {
  testing::MemoryRegistry registry;
  std::vector<std::string> looked_up;
  AccountLookup lookup{[&](std::string_view name) -> std::optional<std::string> {
                         looked_up.emplace_back(name);
                         return name == "zalvo" ? std::optional<std::string>("S-1-5-21-9-1001")
                                                : std::nullopt;
                       },
                       [] { return std::string("STATION7"); }};
  // An install from before the account was stored: "zalvo", found by name.
  CustomerAccount account = ReadCustomerAccount(registry, lookup);
  EXPECT_EQ(account.name, "zalvo");
  EXPECT_EQ(account.domain, "STATION7");
  EXPECT_EQ(account.sid, "S-1-5-21-9-1001");
  // Stored: taken as it is, nothing looked up.
  const std::string key = "HKLM\\SOFTWARE\\Zalvo";
  registry.SetString(key, "CustomerName", "kunde");
  registry.SetString(key, "CustomerSid", "S-1-5-21-9-1002");
  looked_up.clear();
  account = ReadCustomerAccount(registry, lookup);
  EXPECT_EQ(account.name, "kunde");
  EXPECT_EQ(account.sid, "S-1-5-21-9-1002");
  EXPECT_TRUE(looked_up.empty());
  // A name without a stored SID (the account was made after the install) is
  // looked up; a domain's account keeps its domain.
  registry.SetString(key, "CustomerSid", "");
  registry.SetString(key, "CustomerName", "CLUB\\gast");
  account = ReadCustomerAccount(registry, lookup);
  EXPECT_EQ(looked_up, std::vector<std::string>{"CLUB\\gast"});
  EXPECT_EQ(account.name, "gast");
  EXPECT_EQ(account.domain, "CLUB");
  EXPECT_EQ(account.sid, std::nullopt);
}

TEST(CustomerAccount, ThePoliciesGoToTheCustomersHiveOnlyNeverToAnotherUsers) {
  CustomerAccount customer{"zalvo", "STATION7", "S-1-5-21-9-1001"};
  PolicyHive at_console = ChoosePolicyHive(customer, "S-1-5-21-9-1001", true);
  EXPECT_EQ(at_console.sid, "S-1-5-21-9-1001");
  // The club's administrator at the console: nothing goes to that hive.
  PolicyHive admin = ChoosePolicyHive(customer, "S-1-5-21-9-500", true);
  EXPECT_EQ(admin.sid, std::nullopt);
  EXPECT_NE(admin.whose.find("another user (S-1-5-21-9-500)"), std::string::npos) << admin.whose;
  // Nobody at the console: the customer's hive while Windows has it loaded.
  EXPECT_EQ(ChoosePolicyHive(customer, std::nullopt, true).sid, "S-1-5-21-9-1001");
  EXPECT_EQ(ChoosePolicyHive(customer, std::nullopt, false).sid, std::nullopt);
  // An account that was not found gets nothing, whoever is at the console.
  customer.sid.reset();
  EXPECT_EQ(ChoosePolicyHive(customer, "S-1-5-21-9-1001", true).sid, std::nullopt);
}

TEST_F(SessionsTest, ARestartThatWindowsRefusesIsLoggedAndAskedForAgainAFewTimes) {
  Lines log;
  Sessions logged(state, registry, desktop, [&](std::string_view l) { log.emplace_back(l); });
  auto restarts = [&] {
    return std::count(desktop.actions.begin(), desktop.actions.end(), "ShutDownSystem restart");
  };
  for (int i = 0; i < 5; ++i) {
    desktop.shutdown_refusals.emplace_back("The device is not ready.", platform::ErrorKind::kOther,
                                           21);
  }
  logged.ForcedReboot();
  EXPECT_EQ(restarts(), 1);
  EXPECT_EQ(log, Lines{"restart refused by Windows: The device is not ready. (error 21); asked "
                       "again soon, at most 3 more times"});
  // Asked again every kPowerOffRetryTicks ticks, kPowerOffRetries times.
  for (int tick = 1; tick <= 4 * kPowerOffRetryTicks; ++tick) {
    logged.RetryPowerOff();
    EXPECT_EQ(restarts(), 1 + std::min(tick / kPowerOffRetryTicks, kPowerOffRetries)) << tick;
  }
  EXPECT_EQ(log.back(),
            "restart refused by Windows: The device is not ready. (error 21); not asked again");

  // A shut-down already under way is no failure; a retry that is taken ends
  // the retries.
  log.clear();
  desktop.shutdown_refusals = {
      platform::PlatformError("A shutdown is in progress.", platform::ErrorKind::kInUse, 1115)};
  logged.ForcedShutdown();
  EXPECT_EQ(log, Lines{"shut-down: a shut-down of Windows is already under way"});
  desktop.shutdown_refusals = {
      platform::PlatformError("Not now.", platform::ErrorKind::kOther, 1190)};
  logged.ForcedReboot();
  for (int tick = 0; tick < 3 * kPowerOffRetryTicks; ++tick) {
    logged.RetryPowerOff();
  }
  EXPECT_EQ(log.back(), "restart of Windows under way");
  EXPECT_EQ(restarts(), 1 + kPowerOffRetries + 2);
}

TEST_F(SessionsTest, PowerOffNeedsTheShutdownPrivilege) {
  sessions.ForcedShutdown();
  sessions.ForcedReboot();
  EXPECT_EQ(desktop.actions, (Lines{"ShutDownSystem shut down", "ShutDownSystem restart"}));
  EXPECT_EQ(desktop.privilege_requests, (Lines{"SeShutdownPrivilege", "SeShutdownPrivilege"}));

  Clear();
  desktop.privileges = std::set<std::string>{"SeSecurityPrivilege"};
  sessions.ForcedShutdown();
  sessions.ForcedReboot();
  Marker("1");
  sessions.End(0);  // still locks
  EXPECT_EQ(desktop.actions, Lines{"LockWorkStation"});
}

// The station agent over the dispatcher and the tick: a failed "ACTION SIT"
// answers nothing, the next command is answered, and an end that fails on
// every check leaves the tick going until the registry takes the values.
class MemoryFiles final : public platform::StationFiles {
 public:
  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  std::string Read(std::string_view path) override {
    throw platform::PlatformError("no file " + std::string(path));
  }
  void Replace(std::string_view, std::string_view) override {}
  bool Remove(std::string_view) override { return false; }
};

struct RecordedReplies final : Replies {
  void SendText(const ReplyContext&, const std::string& text) override { sent.push_back(text); }
  Lines sent;
};

TEST_F(SessionsTest, InstallSessionGrantsSixteenThousandSecondsThenReports) {
  MemoryFiles files;
  RecordedReplies replies;
  StationActions station(state, replies, {registry, files, desktop});
  state.settings.SetFlag(Key::PlayGame, false);
  state.settings.SetFlag(Key::FreeDisk, true);
  desktop.free_bytes = uint64_t{3} * 1048576;
  Marker("1");
  station.StartInstallSession({});
  EXPECT_EQ(state.remaining_seconds, 16000);
  EXPECT_EQ(Timer(), 16000u);
  EXPECT_EQ(replies.sent, Lines{"INFO  c:3MB"});
  // A refused write is absorbed and skips the report.
  replies.sent.clear();
  registry.DenyWrite(kWinlogon, "LocalTimer");
  EXPECT_NO_THROW(station.StartInstallSession({}));
  EXPECT_TRUE(replies.sent.empty());
}

TEST_F(SessionsTest, FailuresInsideCommandsAndTicksLeaveTheAgentWorking) {
  MemoryFiles files;
  RecordedReplies replies;
  StationActions station(state, replies, {registry, files, desktop});
  CommandDispatcher agent(state, station, replies);
  agent.Startup();
  state.settings = settings::StationSettings();
  state.settings.SetText(Key::ServerIP, "10.0.0.1");
  state.settings.SetFlag(Key::FreeDisk, true);
  desktop.free_bytes = uint64_t{3} * 1048576;
  auto receive = [&](const std::string& text) {
    replies.sent.clear();
    agent.DataReceived(text, {});
    return replies.sent;
  };

  registry.DenyWrite(kWinlogon, "*");
  EXPECT_EQ(receive("ACTION SIT 30"), Lines{});
  EXPECT_TRUE(state.session_active);
  EXPECT_EQ(receive("ACTION INFO"), (Lines{"INFO  c:3MB", "PING"}));
  // The installation session absorbs the same failure and still answers.
  EXPECT_EQ(receive("ACTION INSTALL"), Lines{"PING"});

  state.check_period = 1;
  state.report_period = 0;
  state.grace_seconds = 0;
  state.remaining_seconds = 0;
  state.settings.SetFlag(Key::AutoShutDown, true);
  replies.sent.clear();
  for (int i = 0; i < 99; ++i) {
    agent.Tick({});  // EndSession fails at every check
  }
  EXPECT_EQ(replies.sent, Lines{"PING"});  // the 99th tick still keeps alive
  EXPECT_TRUE(desktop.actions.empty());

  registry = testing::MemoryRegistry();
  registry.AddKey(kWinlogon);
  Marker("1");
  agent.Tick({});
  EXPECT_EQ(Text("ZalvoLogon"), "0");
  EXPECT_EQ(desktop.actions, (Lines{"LockWorkStation", "ShutDownSystem restart"}));
}

// A restart that someone's scheduled shut-down (`shutdown /r /t 600`) holds
// off: that one is aborted and the restart asked for again, logged; one
// under way that can't be aborted counts as under way.
TEST_F(SessionsTest, AShutDownWaitingForItsTimeOutIsAbortedSoThatTheRestartGoesAhead) {
  struct Waiting final : platform::PendingShutdown {
    bool waits = true;
    int aborts = 0;
    bool Abort() override {
      ++aborts;
      return std::exchange(waits, false);
    }
  } waiting;
  Lines log;
  Sessions own(
      state, registry, desktop, [&](std::string_view l) { log.emplace_back(l); }, {}, {}, &waiting);
  desktop.shutdown_refusals = {platform::PlatformError(
      "A system shutdown has already been scheduled.", platform::ErrorKind::kInUse, 1190)};
  own.ForcedReboot();
  EXPECT_EQ(waiting.aborts, 1);
  EXPECT_EQ(desktop.actions, (Lines{"ShutDownSystem restart", "ShutDownSystem restart"}));
  EXPECT_EQ(log, (Lines{"restart refused by Windows: A system shutdown has already been "
                        "scheduled. (error 1190): a restart or shut-down waiting for its time-out "
                        "was aborted and the restart asked for again",
                        "restart of Windows under way"}));
  log.clear();
  desktop.shutdown_refusals = {
      platform::PlatformError("A shutdown is in progress.", platform::ErrorKind::kInUse, 1115)};
  own.ForcedShutdown();
  EXPECT_EQ(waiting.aborts, 2);
  EXPECT_EQ(log, Lines{"shut-down: a shut-down of Windows is already under way"});
}

// The session kept across the service's restarts: the time passed while it
// was down is counted, a clock set back gives no time, a cut and an end are
// kept, and a station of an earlier version takes over the session its
// log-on values tell of.
TEST_F(SessionsTest, TheSessionSurvivesTheServicesRestartWithTheTimePassedCounted) {
  int64_t clock = 1'800'000'000;
  Lines log;
  auto service = [&](AgentState& own_state) {
    return std::make_unique<Sessions>(
        own_state, registry, desktop, [&](std::string_view l) { log.emplace_back(l); },
        CustomerAccount{}, [&] { return clock; });
  };
  auto restart = [&] {
    AgentState fresh;
    service(fresh)->Restore();
    return std::pair(fresh.session_active, fresh.remaining_seconds);
  };
  Marker("1");
  service(state)->Start(1800);
  EXPECT_EQ(registry.String("HKLM\\SOFTWARE\\Zalvo", "SessionState"), "1 1800001800 1800000000");
  clock += 100;
  EXPECT_EQ(restart(), std::pair(true, 1700));
  EXPECT_EQ(Timer(), 1700u);  // the remaining-time window shows what is left

  state.remaining_seconds = 1700;
  service(state)->End(protocol::StandSeconds(1700));  // the cut: 100 left
  clock += 30;
  EXPECT_EQ(restart(), std::pair(true, 70));
  clock -= 1000;  // set back: no time is given
  EXPECT_EQ(restart(), std::pair(true, 100));
  clock += 1000 + 500;  // overrun while the service was down
  EXPECT_EQ(restart(), std::pair(true, -430));

  service(state)->End(0);
  clock += 60;
  EXPECT_EQ(restart(), std::pair(false, -60));
  EXPECT_EQ(Timer(), 0u);

  // What can't be read is no session.
  registry.SetString("HKLM\\SOFTWARE\\Zalvo", "SessionState", "1 soon");
  log.clear();
  EXPECT_EQ(restart(), std::pair(false, 0));
  EXPECT_EQ(log, Lines{"the kept session can't be read (no session is taken to run): "
                       "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zalvo SessionState is not a session state: "
                       "\"1 soon\""});

  // An earlier version's session, told by the log-on values alone.
  registry = testing::MemoryRegistry();
  registry.AddKey(kWinlogon);
  Marker("1");
  registry.SetDword(kWinlogon, "LocalTimer", 900);
  EXPECT_EQ(restart(), std::pair(true, 900));
  clock += 10;
  EXPECT_EQ(restart(), std::pair(true, 890));
  registry = testing::MemoryRegistry();
  registry.AddKey(kWinlogon);
  Marker("0");
  EXPECT_EQ(restart(), std::pair(false, 0));
}

TEST(SessionState, ReadsBackAsWrittenAndRefusesWhatIsNone) {
  const StoredSession stored{true, 1'800'003'600, 1'800'000'000};
  EXPECT_EQ(ParseStoredSession(StoredSessionText(stored)), stored);
  EXPECT_EQ(ParseStoredSession("0 -5 7"), (StoredSession{false, -5, 7}));
  for (const char* bad : {"", "1", "2 1 1", "1 1", "1  1 1", "1 1 1 ", "1 x 1",
                          "1 99999999999999999999 1", "1 1 1e3"}) {
    EXPECT_EQ(ParseStoredSession(bad), std::nullopt) << bad;
  }
  // Kept within 32 bits, whatever the times.
  EXPECT_EQ(SecondsLeftAt({true, int64_t{1} << 40, 0}, 0), INT32_MAX);
  EXPECT_EQ(SecondsLeftAt({true, 0, 0}, int64_t{1} << 40), INT32_MIN);
}

// The tick keeps LocalTimer current while a session runs: every whole minute
// of the time left and when it runs out, so that the window counts down and
// its melody plays in overrun; "ACTION STATE" says the same, and after a
// restart the agent carries on from it.
TEST_F(SessionsTest, TheTickKeepsLocalTimerCurrentAndStateTellsTheSession) {
  MemoryFiles files;
  RecordedReplies replies;
  int64_t clock = 1'800'000'000;
  StationParts parts{registry, files, desktop};
  parts.wall_clock = [&] { return clock; };
  StationActions station(state, replies, parts);
  CommandDispatcher agent(state, station, replies);
  agent.Startup();
  state.settings.SetText(Key::ServerIP, "10.0.0.1");
  auto receive = [&](const std::string& text) {
    replies.sent.clear();
    agent.DataReceived(text, {});
    return replies.sent;
  };
  auto ticks = [&](int n) {
    for (int i = 0; i < n; ++i) {
      agent.Tick({});
      clock += 1;
    }
  };
  Marker("1");
  EXPECT_EQ(receive("ACTION STATE"), (Lines{"STATE 0 0", "PING"}));
  EXPECT_EQ(receive("ACTION SIT 2"), Lines{"PING"});
  ticks(59);
  EXPECT_EQ(Timer(), 120u);
  ticks(1);
  EXPECT_EQ(Timer(), 60u);
  EXPECT_EQ(receive("ACTION STATE"), (Lines{"STATE 1 60", "PING"}));
  ticks(60);
  EXPECT_EQ(Timer(), 0u);
  ticks(1);
  EXPECT_EQ(Timer(), static_cast<uint32_t>(-1));  // the melody begins
  ticks(59);
  EXPECT_EQ(Timer(), static_cast<uint32_t>(-60));
  EXPECT_EQ(receive("ACTION STATE"), (Lines{"STATE 1 -60", "PING"}));  // overrun runs on
  EXPECT_EQ(receive("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(receive("ACTION STATE"), (Lines{"STATE 0 -80", "PING"}));
  ticks(120);
  EXPECT_EQ(Timer(), 0u);  // an ended session's stays 0

  // After a restart the agent carries on from the kept session.
  EXPECT_EQ(receive("ACTION SIT 30"), Lines{"PING"});
  clock += 300;
  AgentState after;
  StationActions restarted(after, replies, parts);
  CommandDispatcher again(after, restarted, replies);
  again.Startup();
  after.settings.SetText(Key::ServerIP, "10.0.0.1");
  replies.sent.clear();
  again.DataReceived("ACTION STATE", {});
  EXPECT_EQ(replies.sent, (Lines{"STATE 1 1500", "PING"}));
  EXPECT_EQ(Timer(), 1500u);

  // A refresh that can't be written is logged once.
  Lines log;
  Sessions logged(after, registry, desktop, [&](std::string_view l) { log.emplace_back(l); });
  registry.DenyWrite(kWinlogon, "LocalTimer");
  for (int32_t left : {120, 119, 60, 0}) {
    after.remaining_seconds = left;
    logged.KeepCurrent();
  }
  EXPECT_EQ(log, Lines{"the session's time left is not kept (LocalTimer, SessionState): Access "
                       "is denied"});
}

}  // namespace
}  // namespace zalvo::agent
