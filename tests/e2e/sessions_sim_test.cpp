// Sessions, reports and policies of the Linux agent over a simulated station,
// driven over UDP and with zalvoctl from the command line: the log-on values
// in the registry files, lock and restart in the journal, the report texts,
// and failures that end only the command they happen in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "agent/session_store.h"
#include "platform/error.h"
#include "protocol/replies.h"
#include "settings/registry_names.h"
#include "settings/settings_file.h"
#include "tests/e2e/sim_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "tests/support/wait_until.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::testing {
namespace {

using Lines = std::vector<std::string>;
using platform::Hive;

constexpr const char* kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr const char* kDenyWinlogon =
    "write [HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]";
constexpr const char* kBaseSettings = "ServerIP=127.0.0.1\r\nSendDataTime=0\r\n";

class SessionsE2e : public ::testing::Test {
 protected:
  void StartAgent(const std::string& settings, int tick_ms = 1000, bool wait = true) {
    harness.WriteSettings(settings);
    harness.Start(tick_ms);
    if (wait) {
      ServerPeer server;
      ASSERT_TRUE(server.WaitForAgent());
    }
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("--- agent output ---\n%s\n", harness.Output().c_str());
    }
    harness.Stop();
  }

  // Runs zalvoctl to its end and returns its exit code and output.
  ToolRun Zalvoctl(const std::vector<std::string>& args) {
    ToolRun run = harness.RunToEnd(ZALVOCTL_PROGRAM, args);
    EXPECT_NE(run.exit_code, -1) << "zalvoctl did not end";
    return run;
  }

  std::unique_ptr<platform::RegistryKey> Winlogon() {
    return harness.registry().Open(Hive::kLocalMachine, kWinlogon);
  }
  std::optional<std::string> Logon(const std::string& name) { return Winlogon()->ReadString(name); }
  std::optional<uint32_t> Timer() { return Winlogon()->ReadDword("LocalTimer"); }
  int Count(const std::string& event) {
    int n = 0;
    for (const std::string& e : harness.JournalEvents()) {
      n += e == event ? 1 : 0;
    }
    return n;
  }
  int Restarts() { return Count("InitiateSystemShutdownEx reboot (force, planned)"); }
  int Locks() { return Count("LockWorkStation"); }

  SimHarness harness;
};

TEST_F(SessionsE2e, SitOnANewStationHandsOverWithoutARestartAndStandEndsItLater) {
  StartAgent(kBaseSettings);
  ToolRun sit = Zalvoctl({"127.0.0.1", "ACTION", "SIT", "30"});
  EXPECT_EQ(sit.exit_code, 0) << sit.output;
  EXPECT_EQ(sit.output, "PING\n");
  EXPECT_EQ(Logon("AutoAdminLogon"), "1");
  EXPECT_EQ(Logon("DefaultUserName"), "zalvo");
  // A local account: its domain is the computer's name.
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(Logon("DefaultDomainName"), text::UpperLatin(host).substr(0, 15));
  EXPECT_EQ(Logon("DefaultPassword"), "946");
  EXPECT_EQ(Logon("ZalvoLogon"), "1");
  EXPECT_EQ(Timer(), 1800u);
  EXPECT_NE(harness.ReadStationFile("registry/HKEY_LOCAL_MACHINE.reg")
                .find("\"LocalTimer\"=dword:00000708"),
            std::string::npos);
  EXPECT_EQ(Restarts(), 0);

  // 1800 seconds: the first stand leaves 100, which LocalTimer shows at once;
  // nothing else is written.
  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(Timer(), 100u);
  EXPECT_EQ(Logon("ZalvoLogon"), "1");
  EXPECT_EQ(Locks(), 0);
  // 80, 60, 40, 20: still time left; the sixth stand comes to 0 or below
  // and ends the session.
  for (int i = 0; i < 4; ++i) {
    server.Exchange("ACTION STAND");
  }
  EXPECT_EQ(Locks(), 0);
  EXPECT_EQ(server.Exchange("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(Logon("AutoAdminLogon"), "0");
  EXPECT_EQ(Logon("ZalvoLogon"), "0");
  EXPECT_EQ(Timer(), 0u);
  EXPECT_EQ(Logon("DefaultUserName"), "zalvo");
  EXPECT_EQ(Locks(), 1);
  EXPECT_EQ(Restarts(), 1);
  // The lock comes before the restart.
  Lines events = harness.JournalEvents();
  EXPECT_EQ(Lines(events.end() - 2, events.end()),
            (Lines{"LockWorkStation", "InitiateSystemShutdownEx reboot (force, planned)"}));

  // Ended again: the values again and the lock, no restart.
  EXPECT_EQ(server.Exchange("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(Locks(), 2);
  EXPECT_EQ(Restarts(), 1);

  // The next session starts over a "0" marker: Windows restarts.
  EXPECT_EQ(server.Exchange("ACTION SIT 45"), Lines{"PING"});
  EXPECT_EQ(Timer(), 2700u);
  EXPECT_EQ(Logon("ZalvoLogon"), "1");
  EXPECT_EQ(Restarts(), 2);
  // Renewed during the session: no restart.
  EXPECT_EQ(server.Exchange("ACTION SIT 10"), Lines{"PING"});
  EXPECT_EQ(Timer(), 600u);
  EXPECT_EQ(Restarts(), 2);

  // The service restarts (as it does with every restart of Windows): the
  // session is found again with the time that passed counted, here the five
  // minutes by which the kept times are moved back while it is down.
  harness.Stop();
  auto own = harness.registry().Open(Hive::kLocalMachine, "SOFTWARE\\Zalvo");
  ASSERT_NE(own, nullptr);
  std::optional<agent::StoredSession> kept =
      agent::ParseStoredSession(own->ReadString("SessionState").value_or(""));
  ASSERT_TRUE(kept && kept->running);
  kept->end -= 300;
  kept->saved -= 300;
  own->WriteString("SessionState", agent::StoredSessionText(*kept));
  harness.Start(1000);
  ASSERT_TRUE(server.WaitForAgent());
  Lines state = server.Exchange("ACTION STATE");
  ASSERT_EQ(state.size(), 2u);
  std::optional<protocol::SessionState> told = protocol::ParseSessionState(state[0]);
  ASSERT_TRUE(told) << state[0];
  EXPECT_TRUE(told->running);
  EXPECT_LE(told->remaining_seconds, 300);
  EXPECT_GE(told->remaining_seconds, 290);  // a few seconds of the test's own
  EXPECT_LE(static_cast<int32_t>(Timer().value_or(0)), 300);
  EXPECT_GE(static_cast<int32_t>(Timer().value_or(0)), told->remaining_seconds);
  EXPECT_EQ(Restarts(), 2);
}

TEST_F(SessionsE2e, InfoAnswersInOrderThenPingWithCaptionsInWindows1251) {
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=1\r\nFreeDisk=1\r\n");
  harness.WriteStationFile("windows.txt",
                           "65552 1200 F Календар - notepad\n65560 1320 - Counter-Strike\n");
  auto before = std::filesystem::space(harness.root()).available / 1048576;
  ServerPeer server;
  Lines replies = server.Exchange("ACTION INFO");
  auto after = std::filesystem::space(harness.root()).available / 1048576;
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "PLAYGAME=" + text::Utf8ToCp1251("Календар - NOTEPAD"));
  ASSERT_EQ(replies[1].rfind("INFO  c:", 0), 0u) << replies[1];
  ASSERT_EQ(replies[1].substr(replies[1].size() - 2), "MB");
  // Other programs on this machine change the free space meanwhile.
  auto reported = std::stoull(replies[1].substr(8, replies[1].size() - 10));
  EXPECT_LE(reported, std::max(before, after) + 256);
  EXPECT_GE(reported + 256, std::min(before, after));
  EXPECT_EQ(replies[2], "PING");

  // Unchanged: no caption text.
  EXPECT_EQ(server.Exchange("ACTION INFO").size(), 2u);
  // No foreground window: the empty caption, then the handle 0.
  harness.WriteStationFile("windows.txt", "65560 1320 - Counter-Strike\n");
  replies = server.Exchange("ACTION INFO");
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(Lines(replies.begin(), replies.begin() + 2), (Lines{"PLAYGAME=", "PLAYGAME=0:0"}));
  // A foreground window without a caption: only its handle.
  harness.WriteStationFile("windows.txt", "70000 5 F \n");
  replies = server.Exchange("ACTION INFO");
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "PLAYGAME=0:70000");

  // A withdrawn privilege: no foreground report at all, the disk still.
  harness.WriteStationFile("windows.txt", "65552 1200 F Game\n");
  harness.WriteStationFile("privileges.txt", "SeSecurityPrivilege\nSeShutdownPrivilege\n");
  replies = server.Exchange("ACTION INFO");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].rfind("INFO  c:", 0), 0u);
}

TEST_F(SessionsE2e, ZalvoctlPrintsCyrillicRepliesAsUtf8OrAsTheRawBytes) {
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=1\r\n");
  harness.WriteStationFile("windows.txt", "65552 1200 F Шах и мат - chess\n");
  ToolRun info = Zalvoctl({"127.0.0.1", "ACTION INFO"});
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_EQ(info.output, "PLAYGAME=Шах и мат - CHESS\nPING\n");
  harness.WriteStationFile("windows.txt", "65552 1200 F Пасианс\n");
  ToolRun raw = Zalvoctl({"--raw", "127.0.0.1", "ACTION INFO"});
  EXPECT_EQ(raw.output, text::Utf8ToCp1251("PLAYGAME=Пасианс\nPING\n"));
  // A Cyrillic argument reaches the station in Windows-1251.
  ToolRun sit = Zalvoctl({"127.0.0.1", "ACTION SIT ж"});  // not a number: 600 seconds
  EXPECT_EQ(sit.exit_code, 0);
  EXPECT_EQ(Timer(), 600u);
  EXPECT_NE(harness.Output().find("<- 127.0.0.1:6868 ACTION SIT ж"), std::string::npos);
}

TEST_F(SessionsE2e, InstallStartsASixteenThousandSecondSessionThenReports) {
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nFreeDisk=1\r\nShutDownMonitor=1\r\n");
  ServerPeer server;
  Lines replies = server.Exchange("ACTION INSTALL");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].rfind("INFO  c:", 0), 0u);
  EXPECT_EQ(replies[1], "PING");
  EXPECT_EQ(Timer(), 16000u);
  EXPECT_EQ(Restarts(), 0);  // a new station has no "0" marker
  // The idle station's dark monitor is switched on for the session.
  EXPECT_EQ(Count("MonitorPower on (-1)"), 1);
}

TEST_F(SessionsE2e, ARefusedRegistryWriteEndsOnlyThatCommand) {
  StartAgent(kBaseSettings);
  harness.WriteStationFile("registry/deny.txt", std::string(kDenyWinlogon) + " \"LocalTimer\"\n");
  ToolRun refused = Zalvoctl({"--wait", "800", "127.0.0.1", "ACTION", "SIT", "30"});
  EXPECT_EQ(refused.exit_code, 3);  // no "PING": the command failed
  EXPECT_NE(refused.output.find("no \"PING\" from 127.0.0.1"), std::string::npos);
  EXPECT_EQ(Logon("AutoAdminLogon"), "1");
  EXPECT_EQ(Logon("ZalvoLogon"), "1");
  EXPECT_EQ(Timer(), std::nullopt);

  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION INFO"), Lines{"PING"});
  std::filesystem::remove(harness.root() / "registry" / "deny.txt");
  EXPECT_EQ(server.Exchange("ACTION SIT 30"), Lines{"PING"});
  EXPECT_EQ(Timer(), 1800u);
}

TEST_F(SessionsE2e, AnEndRefusedOnTheTickLeavesTheTickRunningAndSucceedsLater) {
  // Every tick checks, and the time has run out from the first tick on.
  harness.WriteStationFile("registry/deny.txt", std::string(kDenyWinlogon) + "\n");
  StartAgent(
      "ServerIP=127.0.0.1\r\nSendDataTime=0\r\nClosePasswordForm=1\r\nAutoShutDown=1\r\n"
      "AutoShutDownSec=0\r\n",
      10);
  ServerPeer server;
  server.Exchange("ACTION SIT 0");
  // Ticks go on: the keep-alive comes every 99 ticks.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int pings = 0;
  while (pings < 2 && std::chrono::steady_clock::now() < deadline) {
    pings += server.Receive(500) == "PING" ? 1 : 0;
  }
  EXPECT_EQ(pings, 2);
  EXPECT_EQ(Locks(), 0);
  std::filesystem::remove(harness.root() / "registry" / "deny.txt");
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Locks() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  harness.Stop();
  EXPECT_GT(Locks(), 0);
  EXPECT_EQ(Logon("ZalvoLogon"), "0");
  EXPECT_EQ(Timer(), 0u);
  EXPECT_EQ(Restarts(), 1);  // once: the marker is "0" after the first end
}

TEST_F(SessionsE2e, WithNoSessionTheCustomerAtTheConsoleIsKeptLockedAndASessionLeavesTheLock) {
  const std::string installed = "C:\\Program Files\\Zalvo\\zalvoc.exe";
  const std::string policies =
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System]";
  harness.WriteStationFile("registry/HKEY_CURRENT_USER.reg", "REGEDIT4\n\n" + policies + "\n");
  harness.WriteStationFile("console.txt", "customer zalvo\n");
  StartAgent(kBaseSettings, 50);
  auto task_manager = [&] {
    auto key = harness.registry().Open(Hive::kCurrentUser,
                                       "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                                       "System");
    return key ? key->ReadDword("DisableTaskMgr") : std::nullopt;
  };
  ASSERT_TRUE(WaitUntil([&] {
    return Count("lock screen locked at the service's word (process 3000)");
  })) << harness.ReadStationFile("journal.log");
  EXPECT_EQ(Count("lock screen started as zalvo (process 3000)"), 1);
  EXPECT_TRUE(WaitUntil([&] { return Logon("AutoAdminLogon") == "0" && task_manager() == 1u; }));

  // The customer ends it and runs a copy of it from elsewhere: the installed
  // one is started again and locked.
  harness.WriteStationFile(
      "console.txt", "customer zalvo\nlockscreen 4000 unlocked C:\\Users\\zalvo\\zalvoc.exe\n");
  EXPECT_TRUE(WaitUntil([&] {
    return Count("lock screen locked at the service's word (process 4001)");
  })) << harness.ReadStationFile("journal.log");
  // Unlocked by hand: locked again (a loaded tick may have sent its lock
  // twice already, so count on from what is there).
  const auto locks = Count("lock screen locked at the service's word (process 4001)");
  harness.WriteStationFile("console.txt",
                           "customer zalvo\nlockscreen 4001 unlocked " + installed + "\n");
  EXPECT_TRUE(WaitUntil(
      [&] { return Count("lock screen locked at the service's word (process 4001)") > locks; }));

  // A session: the lock screen's unlock holds, Task Manager is back.
  EXPECT_EQ(Zalvoctl({"127.0.0.1", "ACTION", "SIT", "30"}).output, "PING\n");
  EXPECT_TRUE(WaitUntil([&] { return task_manager() == 0u; }));
  harness.WriteStationFile("console.txt",
                           "customer zalvo\nlockscreen 4001 unlocked " + installed + "\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(harness.ReadStationFile("console.txt").find(" locked "), std::string::npos);
  EXPECT_EQ(Logon("AutoAdminLogon"), "1");
}

TEST_F(SessionsE2e, RebootAndShutdownNeedTheShutdownPrivilege) {
  StartAgent(kBaseSettings);
  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION SHUTDOWN"), Lines{"PING"});
  EXPECT_EQ(server.Exchange("ACTION REBOOT"), Lines{"PING"});
  EXPECT_EQ(Count("InitiateSystemShutdownEx shut down (force, planned)"), 1);
  EXPECT_EQ(Restarts(), 1);
  harness.WriteStationFile("privileges.txt", "SeSecurityPrivilege\n");
  EXPECT_EQ(server.Exchange("ACTION SHUTDOWN"), Lines{"PING"});
  EXPECT_EQ(server.Exchange("ACTION REBOOT"), Lines{"PING"});
  EXPECT_EQ(Count("InitiateSystemShutdownEx shut down (force, planned)"), 1);
  EXPECT_EQ(Restarts(), 1);
}

TEST_F(SessionsE2e, ARestartThatWindowsRefusesIsLoggedWithItsReasonAndAskedForAgain) {
  const std::string refused =
      "InitiateSystemShutdownEx reboot (force, planned) refused: 21 The device is not ready.";
  harness.WriteStationFile("refuse-shutdown.txt", "21 The device is not ready.\n");
  StartAgent(kBaseSettings, 20);
  ServerPeer server;
  server.Send("ACTION REBOOT");
  // Asked for three more times, a few ticks apart, then given up.
  EXPECT_TRUE(WaitUntil([&] { return Count(refused) == 4; })) << Count(refused);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Count(refused), 4);
  EXPECT_NE(harness.Output().find("restart refused by Windows: The device is not ready. (error "
                                  "21); not asked again"),
            std::string::npos);
  // A refusal that clears meanwhile: the retry restarts Windows.
  server.Send("ACTION REBOOT");
  EXPECT_TRUE(WaitUntil([&] { return Count(refused) == 5; }));
  std::filesystem::remove(harness.root() / "refuse-shutdown.txt");
  EXPECT_TRUE(WaitUntil([&] { return Restarts() == 1; }));
  // The station's journal has the restart before the agent logs it.
  EXPECT_TRUE(harness.Printed("restart of Windows under way"));

  // A restart someone scheduled (`shutdown /r /t 600`) does not hold the
  // server's off: it is aborted, and the restart asked for at once.
  harness.WriteStationFile("scheduled-shutdown.txt", "shutdown /r /t 600\n");
  server.Send("ACTION REBOOT");
  EXPECT_TRUE(WaitUntil([&] { return Restarts() == 2; }));
  Lines events = harness.JournalEvents();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(Lines(events.end() - 3, events.end()),
            (Lines{"InitiateSystemShutdownEx reboot (force, planned) refused: 1190 A system "
                   "shutdown has already been scheduled.",
                   "AbortSystemShutdown", "InitiateSystemShutdownEx reboot (force, planned)"}));
  EXPECT_FALSE(std::filesystem::exists(harness.root() / "scheduled-shutdown.txt"));
  EXPECT_TRUE(
      harness.Printed("a restart or shut-down waiting for its time-out was aborted and "
                      "the restart asked for again"));
}

TEST_F(SessionsE2e, IniAndProxyWriteThePoliciesOfTheKeysThatExist) {
  harness.WriteStationFile(
      "registry/HKEY_CURRENT_USER.reg",
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kav\\Zalvo]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer]\n");
  StartAgent(std::string(kBaseSettings) + "NoDrives=1\r\nNoRun=1\r\nNoDispCPL=1\r\n");
  platform::Registry& registry = harness.registry();
  const std::string policies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\";
  const std::string internet = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION INI"), Lines{"PING"});
  auto explorer = registry.Open(Hive::kCurrentUser, policies + "Explorer");
  EXPECT_EQ(explorer->ReadDword("NoDrives"), 7u);
  EXPECT_EQ(explorer->ReadDword("NoRun"), 1u);
  EXPECT_EQ(explorer->ReadDword("RestrictRun"), 0u);
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, "Software\\Kav\\Zalvo")->ReadString("ServerIP"),
            "127.0.0.1");
  // Missing current-user keys stay missing; the machine key is created.
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, policies + "System"), nullptr);
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main"),
            nullptr);
  EXPECT_EQ(
      registry.Open(Hive::kLocalMachine, policies + "Network")->ReadDword("DisablePwdCaching"), 0u);
  // The proxy gate is closed while NoAutomatProxy is not "1".
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, internet)->ValueNames(), Lines{});

  EXPECT_EQ(server.Exchange("ACTION PROXY 1 proxy.club PORT 3128"), Lines{"PING"});
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, internet)->ValueNames(), Lines{});
  EXPECT_EQ(settings::SettingsText(harness.ReadSettings()).Value("ProxyServer"), "proxy.club");

  harness.WriteSettings(std::string(kBaseSettings) +
                        "NoAutomatProxy=1\r\nProxyOverride=<local>\r\n");
  EXPECT_EQ(server.Exchange("ACTION INI"), Lines{"PING"});
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, internet)->ReadString("ProxyServer"), ":");
  EXPECT_EQ(server.Exchange("ACTION PROXY 1 proxy.club PORT 3128"), Lines{"PING"});
  auto proxy = registry.Open(Hive::kCurrentUser, internet);
  EXPECT_EQ(proxy->ReadDword("ProxyEnable"), 1u);
  EXPECT_EQ(proxy->ReadString("ProxyServer"), "proxy.club:3128");
  EXPECT_EQ(proxy->ReadString("ProxyOverride"), "<local>");
  // The new settings also came off the flags written by the previous load.
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, policies + "Explorer")->ReadDword("NoDrives"), 0u);
}

TEST_F(SessionsE2e, ZalvoctlRefusesBadAddressesAndABusyPortClearly) {
  ToolRun help = Zalvoctl({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("usage: zalvoctl"), std::string::npos);

  for (const char* bad : {"300.1.2.3", "10.1", "1.2.3.4.5", ""}) {
    ToolRun run = Zalvoctl({bad, "ACTION INFO"});
    EXPECT_EQ(run.exit_code, 2) << bad;
    EXPECT_NE(run.output.find("zalvoctl: "), std::string::npos) << bad;
  }
  EXPECT_EQ(Zalvoctl({"127.0.0.1"}).exit_code, 2);  // no command
  EXPECT_EQ(Zalvoctl({"--wait", "soon", "127.0.0.1", "ACTION INFO"}).exit_code, 2);
  EXPECT_EQ(Zalvoctl({"watch", "127.0.0.1"}).exit_code, 2);
  EXPECT_EQ(Zalvoctl({"--bind", "1.2.3", "127.0.0.1", "ACTION INFO"}).exit_code, 2);

  ServerPeer holder;  // port 6868 taken
  ToolRun busy = Zalvoctl({"127.0.0.1", "ACTION INFO"});
  EXPECT_EQ(busy.exit_code, 1);
  EXPECT_NE(busy.output.find("6868"), std::string::npos) << busy.output;
  EXPECT_EQ(Zalvoctl({"watch", "--count", "1"}).exit_code, 1);
}

TEST_F(SessionsE2e, ZalvoctlWatchPrintsEveryReportWithItsSenderAndTime) {
  // A status report on every tick, with its keep-alive every 99 ticks.
  // (Too chatty to wait for its "PING" first: watch waits for the reports.)
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=1\r\nFreeDisk=1\r\nPlayGame=0\r\n", 20, false);
  ToolRun watch = Zalvoctl({"watch", "--count", "3", "--wait", "10000"});
  EXPECT_EQ(watch.exit_code, 0) << watch.output;
  Lines lines = settings::SplitLines(watch.output);
  ASSERT_EQ(lines.size(), 3u) << watch.output;
  int reports = 0;
  for (const std::string& line : lines) {
    // "YYYY-MM-DD HH:MM:SS.mmm 127.0.0.1:6767 INFO  c:...MB", or the keep-alive
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[19], '.');
    std::string rest = line.substr(24);
    EXPECT_TRUE(rest.rfind("127.0.0.1:6767 INFO  c:", 0) == 0 || rest == "127.0.0.1:6767 PING")
        << line;
    reports += rest.find("INFO") != std::string::npos ? 1 : 0;
  }
  EXPECT_GE(reports, 2);
  // Nothing arrives from a station that sends no reports.
  harness.Stop();
  ToolRun quiet = Zalvoctl({"watch", "--count", "1", "--wait", "300"});
  EXPECT_EQ(quiet.exit_code, 3);
}

}  // namespace
}  // namespace zalvo::testing
