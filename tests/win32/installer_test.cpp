// zalvo-setup.exe silently under Wine: a first install with the server
// address and the customer account, the service answering, the lock screen as
// that account's shell, an upgrade that keeps the settings, and the uninstall
// that removes the service and the start-up entry, puts the shell back, but
// keeps the settings.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "tests/win32/gui_driver.h"

namespace zalvo::win32 {
namespace {

using platform::Hive;
using testing::RunAndWait;
using testing::ServerPeer;

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kShellPolicy =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

// The account this test runs as, which Wine keeps logged on: the customer
// account of these installs.
std::wstring ThisAccount() {
  wchar_t name[256] = {};
  DWORD size = 256;
  GetUserNameW(name, &size);
  return name;
}

std::wstring SetupCommand() {
  return testing::QuotedProgram(ZALVO_SETUP);
}

std::wstring ProgramFolder() {
  wchar_t buffer[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%ProgramW6432%\\Zalvo", buffer, MAX_PATH);
  return buffer;
}

bool ServiceExists() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(OpenServiceW(manager.get(), L"ZalvoService", SERVICE_QUERY_STATUS));
  return static_cast<bool>(service);
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(Installer, InstallsSilentlyUpgradesAndUninstallsKeepingTheSettings) {
  Win32Files files;
  Win32Registry registry;
  const std::string settings_path =
      settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName);
  DeleteFileW(Widen(settings_path).c_str());

  // A new station needs the server address; a silent install without it ends
  // with an error and installs nothing.
  EXPECT_EQ(RunAndWait(SetupCommand() + L" /S"), 2u);
  EXPECT_EQ(RunAndWait(SetupCommand() + L" /S /SERVER=192.168.001.10"), 2u);
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvos.exe"));

  // The account had a shell of its own before.
  registry.Create(Hive::kCurrentUser, kShellPolicy)->WriteString("Shell", "club-shell.exe");
  ServerPeer server;
  ASSERT_EQ(RunAndWait(SetupCommand() + L" /S /SERVER=127.0.0.1 /CUSTOMER=" + ThisAccount()), 0u);
  EXPECT_TRUE(FileExists(ProgramFolder() + L"\\zalvos.exe"));
  EXPECT_TRUE(FileExists(ProgramFolder() + L"\\zalvoc.exe"));
  settings::SettingsText first(files.Read(settings_path));
  EXPECT_EQ(first.Value("ServerIP"), "127.0.0.1");
  EXPECT_EQ(first.Value("SendDataTime"), "60");
  auto run = registry.Open(Hive::kLocalMachine, kRunKey);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->ReadString("Zalvo"), "\"" + Narrow(ProgramFolder()) + "\\zalvoc.exe\"");
  const std::string shell = "\"" + Narrow(ProgramFolder()) + "\\zalvoc.exe\"";
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadString("Shell"), shell);
  ASSERT_TRUE(ServiceExists());
  // The service was started and answers the server.
  EXPECT_TRUE(server.WaitForAgent(20000));

  // An upgrade keeps the station's settings, also when given another address.
  // The default customer account "zalvo" does not exist here: the installer
  // says so with its exit code and upgrades everything else.
  files.Replace(settings_path, "ServerIP=127.0.0.1\r\nBeep=1\r\n");
  ASSERT_EQ(RunAndWait(SetupCommand() + L" /S /SERVER=10.9.9.9"), 4u);
  EXPECT_EQ(files.Read(settings_path), "ServerIP=127.0.0.1\r\nBeep=1\r\n");
  EXPECT_TRUE(ServiceExists());
  EXPECT_TRUE(server.WaitForAgent(20000));

  // "_?=" makes the uninstaller run in place and so be waited for.
  ASSERT_EQ(RunAndWait(L"\"" + ProgramFolder() + L"\\uninstall.exe\" /S _?=" + ProgramFolder()),
            0u);
  EXPECT_FALSE(ServiceExists());
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvos.exe"));
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvoc.exe"));
  run = registry.Open(Hive::kLocalMachine, kRunKey);
  EXPECT_TRUE(run == nullptr || !run->ReadString("Zalvo").has_value());
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadString("Shell"), "club-shell.exe");
  EXPECT_EQ(files.Read(settings_path), "ServerIP=127.0.0.1\r\nBeep=1\r\n");
  server.ReceiveUntilQuiet(300);
  server.Send("anyone?");
  EXPECT_EQ(server.Receive(700), std::nullopt);
  DeleteFileW((ProgramFolder() + L"\\uninstall.exe").c_str());
  RemoveDirectoryW(ProgramFolder().c_str());
  RegDeleteKeyValueW(HKEY_CURRENT_USER, Widen(kShellPolicy).c_str(), L"Shell");
}

}  // namespace
}  // namespace zalvo::win32
