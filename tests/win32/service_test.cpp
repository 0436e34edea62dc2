// The agent as a real service under Wine's service control manager:
// install with its own switches, a start that fails and says why, start,
// answer, pause (the tick stops, commands still work), continue, stop and
// uninstall.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/command_key_store.h"
#include "platform/win32/command_key.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "protocol/key_file.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::win32 {
namespace {

using testing::ServerPeer;

struct Outcome {
  DWORD exit_code = 0xFFFFFFFF;
  std::wstring message;  // the text of the message box it showed, if any
};

struct BoxSearch {
  DWORD process_id;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (owner == search->process_id && std::wstring(title) == L"zalvos") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Runs zalvos.exe with the switches. A message box it shows (there is a
// display under the test run's virtual X server) is read and closed, as the
// person installing would do.
Outcome RunAndWait(const std::string& args) {
  std::wstring command =
      L"\"" + Widen(testing::BuiltProgramPath(ZALVOS_PROGRAM)) + L"\" " + Widen(args);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  Outcome outcome;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return outcome;
  }
  win32::ScopedHandle thread(info.hThread);
  win32::ScopedHandle process(info.hProcess);
  for (int i = 0; i < 600 && WaitForSingleObject(info.hProcess, 50) == WAIT_TIMEOUT; ++i) {
    BoxSearch search{info.dwProcessId, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      wchar_t text[512] = {};
      GetDlgItemTextW(search.found, 0xFFFF, text, 512);  // the message box's text
      outcome.message = text;
      PostMessageW(search.found, WM_CLOSE, 0, 0);
    }
  }
  GetExitCodeProcess(info.hProcess, &outcome.exit_code);
  return outcome;
}

DWORD State(SC_HANDLE service) {
  SERVICE_STATUS status{};
  QueryServiceStatus(service, &status);
  return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE service, DWORD wanted) {
  for (int i = 0; i < 200; ++i) {
    if (State(service) == wanted) {
      return true;
    }
    Sleep(50);
  }
  return false;
}

TEST(Service, InstallsStartsAnswersPausesContinuesStopsAndUninstalls) {
  Win32Files files;
  files.Replace(settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
                "ServerIP=127.0.0.1\r\nPlayGame=0\r\nFreeDisk=0\r\n");
  ServerPeer server;
  RunAndWait("/UNINSTALL /SILENT");  // a left-over from an earlier run

  Outcome installed = RunAndWait("/INSTALL /SILENT");
  ASSERT_EQ(installed.exit_code, 0u);
  EXPECT_EQ(installed.message, L"");  // no success message when silent
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  ScopedServiceHandle service(OpenServiceW(manager.get(), L"ZalvoService", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(service);

  // Registered as the table of the service says.
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::wstring(config->lpDisplayName), L"Zalvo Service");
  EXPECT_EQ(config->lpBinaryPathName[0], L'"');

  // Installing twice fails (the service exists) and says so, also when silent.
  Outcome twice = RunAndWait("-install -silent");
  EXPECT_NE(twice.exit_code, 0u);
  if (!twice.message.empty()) {  // shown where there is a display
    EXPECT_EQ(twice.message.rfind(L"Service \"Zalvo Service\" failed to install with error: \"", 0),
              0u);
  }

  // A start that fails says why: the port is taken, so the service stops
  // with its own code, the system's error, and the reason in its log.
  {
    ServerPeer taken("0.0.0.0", 6767);
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
    SERVICE_STATUS failed{};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &failed));
    EXPECT_EQ(failed.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(failed.dwServiceSpecificExitCode, static_cast<DWORD>(WSAEADDRINUSE));
    wchar_t log_path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramData%\\Zalvo\\zalvos.log", log_path, MAX_PATH);
    EXPECT_NE(files.Read(Narrow(log_path)).find("Service failed on start: "), std::string::npos);
  }

  // A short tick so that the 99-tick keep-alive comes about every second.
  const wchar_t* start_args[] = {L"--tick-ms", L"10"};
  ASSERT_TRUE(StartServiceW(service.get(), 2, start_args));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  ASSERT_TRUE(server.WaitForAgent());
  EXPECT_EQ(server.Exchange("hello"), std::vector<std::string>{"PING"});
  EXPECT_TRUE(server.Arrives("PING", 5000));

  // Windows tells a service that takes it of its shut-down (it stops then).
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN,
            static_cast<DWORD>(SERVICE_ACCEPT_SHUTDOWN));
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_PAUSED));
  server.ReceiveUntilQuiet(300);
  EXPECT_FALSE(server.Arrives("PING", 2500));  // no tick while paused
  EXPECT_EQ(server.Exchange("still there?"), std::vector<std::string>{"PING"});

  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  EXPECT_TRUE(server.Arrives("PING", 5000));

  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  server.ReceiveUntilQuiet(300);
  server.Send("anyone?");
  EXPECT_EQ(server.Receive(700), std::nullopt);

  service.reset();
  Outcome removed = RunAndWait("/uninstall");
  ASSERT_EQ(removed.exit_code, 0u);
  if (!removed.message.empty()) {
    EXPECT_EQ(removed.message, L"Service uninstalled successfully");
  }
  ScopedServiceHandle gone(OpenServiceW(manager.get(), L"ZalvoService", SERVICE_QUERY_STATUS));
  EXPECT_FALSE(gone);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// The station's key derived by the installer's switch from the club key and
// kept, readable by SYSTEM and the administrators only, with RequireKey; read
// back by the agent, which then takes only signed commands (BCrypt's HMAC,
// the key store and the gate under Wine) and keeps its replay mark there;
// removed on purpose, after which the station is unkeyed again.
TEST(Service, KeepsTheStationsKeyForAdministratorsOnlyAndThenTakesOnlySignedCommands) {
  struct RemoveKey {
    ~RemoveKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zalvo"); }
  } remove_key;
  std::string hex;
  for (int i = 0; i < 32; ++i) {
    hex += "c" + std::to_string(i % 10);
  }
  const protocol::CommandKey club = protocol::ParseKeyText(hex).key;
  EXPECT_EQ(RunAndWait("/CLUBKEY=" + hex.substr(2) + " /STATIONIP=127.0.0.1").exit_code, 2u);
  EXPECT_EQ(RunAndWait("/CLUBKEY=" + hex).exit_code, 2u);
  EXPECT_EQ(RunAndWait("/CLUBKEY=" + hex + " /STATIONIP=127.000.0.1").exit_code, 2u);
  EXPECT_EQ(RunAndWait("/CLUBKEY=" + std::string(64, 'c') + " /STATIONIP=127.0.0.1").exit_code, 2u);
  EXPECT_EQ(RunAndWait("/KEY=" + hex + " /STATIONIP=127.0.0.1").exit_code, 2u);
  ASSERT_EQ(RunAndWait("/CLUBKEY=" + hex + " /STATIONIP=127.0.0.1").exit_code, 0u);
  EXPECT_EQ(win32::KeyDaclSddl(L"SOFTWARE\\Zalvo"), L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
  win32::Win32Registry registry;
  auto stored = agent::ReadStoredCommandKey(registry);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->station_address, "127.0.0.1");
  EXPECT_EQ(stored->key, protocol::DeriveStationKey(club, "127.0.0.1"));
  EXPECT_TRUE(agent::KeyRequired(registry));

  Win32Files files;
  files.Replace(settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
                "ServerIP=127.0.0.1\r\nPlayGame=0\r\nFreeDisk=0\r\n");
  {
    ServerPeer server;
    auto agent = testing::StartProcess(testing::BuiltProgramPath(ZALVOS_PROGRAM), {"--console"},
                                       "zalvos-keyed-output.txt");
    EXPECT_TRUE(server.WaitForSignedAgent(stored->key));
    EXPECT_EQ(server.ExchangeSigned("ACTION INFO", stored->key), std::vector<std::string>{"PING"});
    EXPECT_TRUE(server.Exchange("ACTION INFO", 500).empty());
    // The next tick stores the replay mark.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    agent->Stop();
  }
  EXPECT_TRUE(agent::ReadReplayMark(registry).has_value());

  ASSERT_EQ(RunAndWait("/REMOVEKEY").exit_code, 0u);
  EXPECT_EQ(agent::ReadStoredCommandKey(registry), std::nullopt);
  EXPECT_FALSE(agent::KeyRequired(registry));
  EXPECT_EQ(agent::ReadReplayMark(registry), std::nullopt);
}

}  // namespace
}  // namespace zalvo::win32
