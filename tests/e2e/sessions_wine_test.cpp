// Sessions, reports and policies of zalvos.exe in the Wine prefix: the
// log-on values in the machine hive as reg.exe shows them, the policy values
// in the current user's hive, the foreground caption and the free space of
// drive C, and zalvoctl.exe driving the agent.
//
// Wine's restart does nothing (the simulated station's tests count the
// restarts): every session here starts over a "1" marker and ends over a "0"
// marker, so that none is due.
#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/registry_names.h"
#include "tests/e2e/agent_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "text/cp1251.h"

namespace zalvo::testing {
namespace {

using Lines = std::vector<std::string>;
using platform::Hive;

const std::string kWinlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const std::string kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\";

// One value as reg.exe shows it: its type and its data.
struct Shown {
  std::string type;
  std::string data;
  bool operator==(const Shown&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Shown& s) {
  return out << s.type << " " << s.data;
}

struct ToolRun {
  int exit_code = -1;
  std::string output;
};

ToolRun RunToEnd(const std::string& program, const std::vector<std::string>& args) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  std::string file = win32::Narrow(temp) + "zalvo-sessions-tool.txt";
  auto process = StartProcess(program, args, file);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (process->Running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(process->Running()) << program << " did not end";
  process->Stop();
  ToolRun run{process->ExitCode(), {}};
  HANDLE h = CreateFileW(win32::Widen(file).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    win32::ScopedHandle output(h);
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(output.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
      run.output.append(buffer, n);
    }
  }
  return run;
}

// The values of a key as "reg query KEY" lists them: "    Name    TYPE    data".
std::map<std::string, Shown> RegQuery(const std::string& key) {
  ToolRun run = RunToEnd("reg.exe", {"query", key});
  std::map<std::string, Shown> values;
  std::istringstream lines(run.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.rfind("    ", 0) != 0) {
      continue;
    }
    std::vector<std::string> fields;
    size_t start = 4;
    while (start <= line.size()) {
      size_t end = line.find("    ", start);
      fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) {
        break;
      }
      start = end + 4;
    }
    if (fields.size() >= 2) {
      values[fields[0]] = {fields[1], fields.size() > 2 ? fields[2] : ""};
    }
  }
  return values;
}

class SessionsWine : public ::testing::Test {
 protected:
  void SetUp() override { harness = AgentHarness::Create(); }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("--- agent output ---\n%s\n", harness->Output().c_str());
    }
    harness->Stop();
    // Leave the prefix as the other tests expect it.
    if (auto key = Winlogon()) {
      key->WriteString("AutoAdminLogon", "0");
      key->WriteString("ZalvoLogon", "0");
    }
    for (const char* group : {"System", "Network", "Explorer"}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(kPolicies + group).c_str());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Widen(kPolicies + "Network").c_str());
  }
  void StartAgent(const std::string& settings) {
    harness->WriteSettings(settings);
    harness->Start(1000);
    ServerPeer server;
    ASSERT_TRUE(server.WaitForAgent());
  }
  std::unique_ptr<platform::RegistryKey> Winlogon() {
    return harness->registry().Open(Hive::kLocalMachine, kWinlogon);
  }

  std::unique_ptr<AgentHarness> harness;
};

TEST_F(SessionsWine, ASessionWritesTheLogOnValuesOfTheMachineHive) {
  ASSERT_NE(Winlogon(), nullptr);
  Winlogon()->WriteString("ZalvoLogon", "1");  // a session runs: no restart at the start
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=0\r\n");
  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION SIT 30"), Lines{"PING"});
  const std::string key = "HKLM\\" + kWinlogon;
  auto shown = RegQuery(key);
  EXPECT_EQ(shown["AutoAdminLogon"], (Shown{"REG_SZ", "1"}));
  EXPECT_EQ(shown["DefaultUserName"], (Shown{"REG_SZ", "zalvo"}));
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD computer_size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &computer_size));
  EXPECT_EQ(shown["DefaultDomainName"], (Shown{"REG_SZ", win32::Narrow(computer)}));
  EXPECT_EQ(shown["DefaultPassword"], (Shown{"REG_SZ", "946"}));
  EXPECT_EQ(shown["ZalvoLogon"], (Shown{"REG_SZ", "1"}));
  EXPECT_EQ(shown["LocalTimer"], (Shown{"REG_DWORD", "0x708"}));
  // The session the service keeps across its restarts, in its own key.
  Shown kept = RegQuery("HKLM\\SOFTWARE\\Zalvo")["SessionState"];
  EXPECT_EQ(kept.type, "REG_SZ");
  EXPECT_EQ(kept.data.substr(0, 2), "1 ") << kept;

  // End over a "0" marker: the values and the lock, no restart. 1800 seconds
  // take six stands: 100 (which LocalTimer shows), 80, 60, 40, 20, then 0
  // ends the session.
  Winlogon()->WriteString("ZalvoLogon", "0");
  EXPECT_EQ(server.Exchange("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(RegQuery(key)["LocalTimer"], (Shown{"REG_DWORD", "0x64"}));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(server.Exchange("ACTION STAND"), Lines{"PING"});
  }
  shown = RegQuery(key);
  EXPECT_EQ(shown["AutoAdminLogon"], (Shown{"REG_SZ", "0"}));
  EXPECT_EQ(shown["ZalvoLogon"], (Shown{"REG_SZ", "0"}));
  EXPECT_EQ(shown["LocalTimer"], (Shown{"REG_DWORD", "0x0"}));
  EXPECT_EQ(shown["DefaultUserName"], (Shown{"REG_SZ", "zalvo"}));
  EXPECT_EQ(RegQuery("HKLM\\SOFTWARE\\Zalvo")["SessionState"].data.substr(0, 2), "0 ");
  EXPECT_TRUE(harness->Running());
}

TEST_F(SessionsWine, IniWritesThePoliciesOfTheCurrentUserKeysThatExistAndCreatesNone) {
  // Fresh keys, whatever earlier programs of the prefix left in them.
  for (const char* group : {"System", "Network", "Explorer"}) {
    RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(kPolicies + group).c_str());
    ASSERT_NE(harness->registry().Create(Hive::kCurrentUser, kPolicies + group), nullptr);
  }
  const std::string internet = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  auto proxy = harness->registry().Create(Hive::kCurrentUser, internet);
  ASSERT_NE(proxy, nullptr);
  const std::optional<std::string> previous_proxy = proxy->ReadString("ProxyServer");
  proxy->WriteString("ProxyServer", "sentinel:1");
  StartAgent(
      "ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=0\r\nNoDrives=1\r\nNoDispCPL=1\r\n"
      "NoSetTaskBar=1\r\nDisabledPassword=1\r\nProxyServer=agent\r\nProxyPort=2\r\n");
  ServerPeer server;
  EXPECT_EQ(server.Exchange("ACTION INI"), Lines{"PING"});
  auto explorer = RegQuery("HKCU\\" + kPolicies + "Explorer");
  EXPECT_EQ(explorer.size(), 11u);
  EXPECT_EQ(explorer["NoDrives"], (Shown{"REG_DWORD", "0x7"}));
  EXPECT_EQ(explorer["NoSetTaskBar"], (Shown{"REG_DWORD", "0x1"}));
  EXPECT_EQ(explorer["RestrictRun"], (Shown{"REG_DWORD", "0x0"}));
  auto system = RegQuery("HKCU\\" + kPolicies + "System");
  for (const char* display : {"NoDispCPL", "NoDispBackgroundPage", "NoDispScrSavPage",
                              "NoDispAppearancePage", "NoDispSettingsPage"}) {
    EXPECT_EQ(system[display], (Shown{"REG_DWORD", "0x1"})) << display;
  }
  EXPECT_EQ(system["NoSecCPL"], (Shown{"REG_DWORD", "0x0"}));
  EXPECT_EQ(RegQuery("HKCU\\" + kPolicies + "Network")["NoNetSetup"], (Shown{"REG_DWORD", "0x0"}));
  EXPECT_EQ(RegQuery("HKLM\\" + kPolicies + "Network")["DisablePwdCaching"],
            (Shown{"REG_DWORD", "0x1"}));
  // Without NoAutomatProxy the agent leaves the proxy values alone.
  EXPECT_EQ(RegQuery("HKCU\\" + internet)["ProxyServer"], (Shown{"REG_SZ", "sentinel:1"}));
  if (previous_proxy) {
    proxy->WriteString("ProxyServer", *previous_proxy);
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, win32::Widen(internet).c_str(), L"ProxyServer");
  }

  for (const char* group : {"System", "Network", "Explorer"}) {
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(kPolicies + group).c_str()),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(server.Exchange("ACTION INI"), Lines{"PING"});
  for (const char* group : {"System", "Network", "Explorer"}) {
    EXPECT_EQ(harness->registry().Open(Hive::kCurrentUser, kPolicies + group), nullptr) << group;
  }
}

class ForegroundWindow {
 public:
  explicit ForegroundWindow(const std::wstring& caption) {
    hwnd_ = CreateWindowExW(0, L"STATIC", caption.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                            300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hwnd_ != nullptr) {
      SetForegroundWindow(hwnd_);
      Pump();
    }
  }
  ~ForegroundWindow() {
    if (hwnd_ != nullptr) {
      DestroyWindow(hwnd_);
    }
  }
  static void Pump() {
    MSG msg;
    for (int i = 0; i < 20; ++i) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
      }
      Sleep(10);
    }
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

TEST_F(SessionsWine, InfoReportsTheForegroundCaptionInWindows1251AndTheFreeSpaceOfC) {
  ForegroundWindow window(L"\x0428\x0430\x0445 - chess");  // "Шах - chess"
  ASSERT_NE(window.hwnd(), nullptr);
  ASSERT_EQ(GetForegroundWindow(), window.hwnd());
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=1\r\nFreeDisk=1\r\n");
  ServerPeer server;
  ULARGE_INTEGER before{};
  GetDiskFreeSpaceExW(L"C:\\", &before, nullptr, nullptr);
  Lines replies = server.Exchange("ACTION INFO");
  ULARGE_INTEGER after{};
  GetDiskFreeSpaceExW(L"C:\\", &after, nullptr, nullptr);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "PLAYGAME=\xD8\xE0\xF5 - CHESS");
  ASSERT_EQ(replies[1].rfind("INFO  c:", 0), 0u) << replies[1];
  uint64_t reported = std::stoull(replies[1].substr(8));
  uint64_t low = std::min(before.QuadPart, after.QuadPart) / 1048576;
  uint64_t high = std::max(before.QuadPart, after.QuadPart) / 1048576;
  EXPECT_LE(reported, high + 256);
  EXPECT_GE(reported + 256, low);
  EXPECT_EQ(replies[2], "PING");
  // Reported once: the next report has only the disk.
  EXPECT_EQ(server.Exchange("ACTION INFO").size(), 2u);
}

TEST_F(SessionsWine, ZalvoctlDrivesTheAgentWithCyrillicArgumentsAndReplies) {
  ForegroundWindow window(L"\x0416\x0443\x043B - game");  // "Жул - game"
  ASSERT_NE(window.hwnd(), nullptr);
  Winlogon()->WriteString("ZalvoLogon", "1");
  StartAgent("ServerIP=127.0.0.1\r\nSendDataTime=0\r\nPlayGame=1\r\n");
  const std::string zalvoctl = BuiltProgramPath(ZALVOCTL_PROGRAM);
  ToolRun info = RunToEnd(zalvoctl, {"127.0.0.1", "ACTION", "INFO"});
  EXPECT_EQ(info.exit_code, 0);
  // Not a console: UTF-8, with the line ends of a Windows text stream.
  EXPECT_EQ(info.output, "PLAYGAME=\xD0\x96\xD1\x83\xD0\xBB - GAME\r\nPING\r\n");
  // "ж" is no number of minutes: 600 seconds.
  ToolRun sit = RunToEnd(zalvoctl, {"127.0.0.1", "ACTION SIT \xE6"});
  EXPECT_EQ(sit.exit_code, 0) << sit.output;
  EXPECT_EQ(Winlogon()->ReadDword("LocalTimer"), 600u);
  EXPECT_NE(harness->Output().find("ACTION SIT \xD0\xB6"), std::string::npos);

  ServerPeer holder;  // port 6868 taken
  ToolRun busy = RunToEnd(zalvoctl, {"127.0.0.1", "ACTION INFO"});
  EXPECT_EQ(busy.exit_code, 1) << busy.output;
  EXPECT_EQ(RunToEnd(zalvoctl, {"300.1.2.3", "ACTION INFO"}).exit_code, 2);
}

}  // namespace
}  // namespace zalvo::testing
