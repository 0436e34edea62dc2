// The agent as a real service under Wine's service control manager:
// install with its own switches, start, answer, pause (the tick stops,
// commands still work), continue, stop and uninstall.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/win32/files.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::win32 {
namespace {

using testing::ServerPeer;

DWORD RunAndWait(const std::string& args) {
  std::wstring command =
      L"\"" + Widen(testing::BuiltProgramPath(ZALVOS_PROGRAM)) + L"\" " + Widen(args);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return 0xFFFFFFFF;
  }
  DWORD code = 0;
  if (WaitForSingleObject(info.hProcess, 30000) == WAIT_TIMEOUT) {
    // Still showing its failure message box: end it, or it would outlive the
    // test and hold the test run's output open.
    TerminateProcess(info.hProcess, STILL_ACTIVE);
    WaitForSingleObject(info.hProcess, 10000);
  }
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
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

// The keep-alive arrives by itself within the wait.
bool KeepAliveArrives(ServerPeer& server, int wait_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (server.Receive(100) == "PING") {
      return true;
    }
  }
  return false;
}

TEST(Service, InstallsStartsAnswersPausesContinuesStopsAndUninstalls) {
  Win32Files files;
  files.Replace(settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
                "ServerIP=127.0.0.1\r\nPlayGame=0\r\nFreeDisk=0\r\n");
  ServerPeer server;
  RunAndWait("/UNINSTALL /SILENT");  // a left-over from an earlier run

  ASSERT_EQ(RunAndWait("/INSTALL /SILENT"), 0u);
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

  // Installing twice fails (the service exists) and says so with a non-zero exit.
  EXPECT_NE(RunAndWait("-install -silent"), 0u);

  // A short tick so that the 99-tick keep-alive comes about every second.
  const wchar_t* start_args[] = {L"--tick-ms", L"10"};
  ASSERT_TRUE(StartServiceW(service.get(), 2, start_args));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  ASSERT_TRUE(server.WaitForAgent());
  EXPECT_EQ(server.Exchange("hello"), std::vector<std::string>{"PING"});
  EXPECT_TRUE(KeepAliveArrives(server, 5000));

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_PAUSED));
  server.ReceiveUntilQuiet(300);
  EXPECT_FALSE(KeepAliveArrives(server, 2500));  // no tick while paused
  EXPECT_EQ(server.Exchange("still there?"), std::vector<std::string>{"PING"});

  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  EXPECT_TRUE(KeepAliveArrives(server, 5000));

  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  server.ReceiveUntilQuiet(300);
  server.Send("anyone?");
  EXPECT_EQ(server.Receive(700), std::nullopt);

  service.reset();
  ASSERT_EQ(RunAndWait("/uninstall /SILENT"), 0u);
  ScopedServiceHandle gone(OpenServiceW(manager.get(), L"ZalvoService", SERVICE_QUERY_STATUS));
  EXPECT_FALSE(gone);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
}  // namespace zalvo::win32
