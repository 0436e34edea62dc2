// zalvo-setup.exe silently under Wine, as a club deploys it: refused values
// that change nothing, a first install with the server address and a
// password into a folder a standard user had planted a DLL in (moved aside;
// the firewall rule's command in the installer's log, the service with its
// description, recovery and event source, answering), an upgrade that moves
// the server while the lock screen keeps running, the lock screen as the
// customer account's shell and the account kept for the service, and the
// uninstall that waits for the whole removal, also when the service was
// already removed by hand, puts the account's shell back and leaves the
// settings.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/win32/command_key.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/registry_names.h"
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
constexpr const char* kEventSource =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\zalvos.exe";
constexpr const char* kShellPolicy =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr const char* kStationKey = "SOFTWARE\\Zalvo";

// The account this test runs as, which Wine keeps logged on, as the customer
// account of these installs.
std::wstring CustomerSwitch() {
  wchar_t name[256] = {};
  DWORD size = 256;
  GetUserNameW(name, &size);
  return L" /CUSTOMER=" + std::wstring(name);
}

DWORD RunSetup(const std::wstring& switches) {
  return RunAndWait(testing::QuotedProgram(ZALVO_SETUP) + L" /S " + switches);
}

std::wstring Expand(const wchar_t* text) {
  wchar_t buffer[MAX_PATH] = {};
  ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
  return buffer;
}

std::wstring ProgramFolder() {
  return Expand(L"%ProgramW6432%\\Zalvo");
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The installer's log, and the lines added since the last call.
class SetupLog {
 public:
  std::string NewLines() {
    std::string all;
    try {
      all = files_.Read(Narrow(Expand(L"%ProgramData%\\Zalvo\\setup.log")));
    } catch (const platform::PlatformError&) {
    }
    std::string added = all.size() >= seen_ ? all.substr(seen_) : all;
    seen_ = all.size();
    return added;
  }

 private:
  Win32Files files_;
  size_t seen_ = 0;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The service's care as the control manager holds it. Wine sets the values
// but can't read every one back (ERROR_INVALID_LEVEL); there the installer's
// exit code 0 is what tells that ChangeServiceConfig2W took them.
void ExpectServiceCare() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(OpenServiceW(manager.get(), L"ZalvoService", SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service);
  BYTE buffer[4096] = {};
  DWORD needed = 0;
  if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer,
                           &needed)) {
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
    ASSERT_NE(description->lpDescription, nullptr);
    EXPECT_EQ(std::wstring(description->lpDescription).rfind(L"Carries out the club server", 0),
              0u);
  } else {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  }
  if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer,
                           &needed)) {
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
    EXPECT_EQ(failure->dwResetPeriod, 86400u);
    ASSERT_EQ(failure->cActions, 3u);
    EXPECT_EQ(failure->lpsaActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[1].Delay, 5000u);
    EXPECT_EQ(failure->lpsaActions[2].Delay, 60000u);
  } else {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  }
}

TEST(Installer, DeploysUpgradesAndUninstallsSilentlyWithoutEverBlocking) {
  Win32Files files;
  Win32Registry registry;
  SetupLog log;
  const std::string windows = files.WindowsDirectory();
  const std::string settings_path =
      settings::SettingsFilePath(windows, settings::kSettingsFileName);
  const std::string password_path =
      settings::SettingsFilePath(windows, settings::kPasswordFileName);
  DeleteFileW(Widen(settings_path).c_str());
  DeleteFileW(Widen(password_path).c_str());
  // This user is the customer: no copies of passwords in its hive.
  for (const wchar_t* value : {L"ZalvoPassword", L"SmallPassword"}) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, Widen(settings::kZalvoKey).c_str(), value);
  }
  log.NewLines();

  // A new station: no address, one with a leading zero, with a non-ASCII
  // digit (a superscript two, an Arabic-Indic three), a password longer
  // than the dialog takes or with a character Windows-1251 lacks: exit code
  // 2, nothing installed, a line in the log.
  EXPECT_EQ(RunSetup(L""), 2u);
  EXPECT_EQ(RunSetup(L"/SERVER=192.168.001.10"), 2u);
  EXPECT_TRUE(Contains(log.NewLines(), "refused: the server address \"192.168.001.10\""));
  EXPECT_EQ(RunSetup(L"/SERVER=1.2.3.\u00B2"), 2u);
  EXPECT_EQ(RunSetup(L"/SERVER=1.2.\u0663.4"), 2u);
  EXPECT_EQ(RunSetup(L"/SERVER=127.0.0.1 /ADMINPASSWORD=123456789"), 2u);
  EXPECT_TRUE(Contains(log.NewLines(), "administrator password is longer than 8"));
  EXPECT_EQ(RunSetup(L"/SERVER=127.0.0.1 /SMALLPASSWORD=\u4E2D1"), 2u);
  EXPECT_TRUE(Contains(log.NewLines(), "small password holds characters outside Windows-1251"));
  // The one shared key of the past is no longer taken: a station keeps its own.
  EXPECT_EQ(RunSetup(L"/SERVER=127.0.0.1 /KEY=" + std::wstring(64, L'1') + L" /STATIONIP=1.2.3.4"),
            2u);
  EXPECT_TRUE(Contains(log.NewLines(), "refused: /KEY= is no longer taken"));
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvos.exe"));
  EXPECT_FALSE(FileExists(Widen(settings_path)));

  // The first install; switches in any letter case. The customer account had
  // a shell of its own. A standard user made the install folder beforehand
  // and left a DLL there: the folder is moved aside before anything is
  // copied.
  registry.Create(Hive::kCurrentUser, kShellPolicy)->WriteString("Shell", "club-shell.exe");
  ASSERT_TRUE(CreateDirectoryW(ProgramFolder().c_str(), nullptr));
  files.Replace(Narrow(ProgramFolder()) + "\\wtsapi32.dll", "planted");
  ServerPeer server;
  ASSERT_EQ(RunSetup(L"/server=127.0.0.1 /SmallPassword=4321" + CustomerSwitch()), 0u);
  const std::string install_log = log.NewLines();
  EXPECT_TRUE(Contains(install_log, Narrow(ProgramFolder()) + " was moved aside to " +
                                        Narrow(ProgramFolder()) + ".untrusted-"))
      << install_log;
  EXPECT_TRUE(
      Contains(install_log, "it holds wtsapi32.dll, which the installer did not put there"));
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\wtsapi32.dll"));
  const size_t aside_at = install_log.find(".untrusted-");
  const std::wstring aside =
      ProgramFolder() +
      Widen(install_log.substr(aside_at, install_log.find(':', aside_at) - aside_at));
  EXPECT_TRUE(FileExists(aside + L"\\wtsapi32.dll")) << Narrow(aside);
  EXPECT_TRUE(Contains(install_log,
                       "advfirewall firewall add rule name=\"Zalvo Service\" dir=in action=allow "
                       "protocol=UDP localport=6767 remoteip=127.0.0.1 program=\"" +
                           Narrow(ProgramFolder()) + "\\zalvos.exe\""))
      << install_log;
  EXPECT_TRUE(Contains(install_log, "rights of " + Narrow(ProgramFolder()) + " set"));
  EXPECT_TRUE(Contains(install_log, "service running"));
  settings::SettingsText first(files.Read(settings_path));
  EXPECT_EQ(first.Value("ServerIP"), "127.0.0.1");
  EXPECT_EQ(first.Value("SendDataTime"), "60");
  // The password given is kept as a hash only SYSTEM and the administrators
  // may read, never in a plain file; without an administrator password the
  // installer says there is no administrator log-in.
  EXPECT_FALSE(FileExists(Widen(password_path)));
  auto passwords = registry.Open(Hive::kLocalMachine, settings::kPasswordStoreKey);
  ASSERT_NE(passwords, nullptr);
  EXPECT_EQ(passwords->ReadString("SmallPassword").value_or("").rfind("pbkdf2-sha256$600000$", 0),
            0u);
  EXPECT_EQ(passwords->ReadString("AdminPassword"), std::nullopt);
  EXPECT_TRUE(Contains(install_log, "no administrator password is set"));
  EXPECT_EQ(KeyDaclSddl(Widen(settings::kPasswordStoreKey)),
            L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
  auto run = registry.Open(Hive::kLocalMachine, kRunKey);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->ReadString("Zalvo"), "\"" + Narrow(ProgramFolder()) + "\\zalvoc.exe\"");
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadString("Shell"),
            "\"" + Narrow(ProgramFolder()) + "\\zalvoc.exe\"");
  // The account for the service, in the station's own key.
  auto station_key = registry.Open(Hive::kLocalMachine, kStationKey, platform::Access::kRead);
  ASSERT_NE(station_key, nullptr);
  EXPECT_EQ(Widen(station_key->ReadString("CustomerName").value_or("")),
            CustomerSwitch().substr(std::wstring(L" /CUSTOMER=").size()));
  EXPECT_EQ(station_key->ReadString("CustomerSid").value_or("").rfind("S-1-5-", 0), 0u);
  ExpectServiceCare();
  auto source = registry.Open(Hive::kLocalMachine, kEventSource);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->ReadString("EventMessageFile"), Narrow(ProgramFolder()) + "\\zalvos.exe");
  EXPECT_TRUE(server.WaitForAgent(20000));
  // No session runs, and this user is the customer: the service holds its
  // Task Manager until a session, or the removal, gives it back.
  EXPECT_TRUE(testing::WaitFor([&] {
    return registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadDword("DisableTaskMgr") == 1u;
  }));

  // An upgrade while the customer's lock screen runs (the one the service
  // keeps running): an explicit /SERVER rewrites only its line and the
  // firewall rule; a bad one changes nothing. The lock screen keeps running;
  // its new file is in place. A customer account "zalvo" does not exist
  // here: a failed step, and everything else upgraded.
  const std::string station = "Beep=1\r\nserverip=127.0.0.1\nWallpaper=\xCA\xE0\xF0\r\nHide=0";
  files.Replace(settings_path, station);
  std::vector<DWORD> lock_screens;
  ASSERT_TRUE(testing::WaitFor([&] {
    return (lock_screens = testing::ProcessesOfFile(ProgramFolder() + L"\\zalvoc.exe")).size() == 1;
  }));
  ScopedHandle lock_process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, lock_screens[0]));
  ASSERT_TRUE(lock_process);
  EXPECT_EQ(RunSetup(L"/SERVER=127.0.0.01"), 2u);
  EXPECT_EQ(files.Read(settings_path), station);
  log.NewLines();
  ASSERT_EQ(RunSetup(L"/SERVER=127.0.0.2 /CUSTOMER=zalvo"), 1u);
  EXPECT_EQ(files.Read(settings_path),
            "Beep=1\r\nserverip=127.0.0.2\nWallpaper=\xCA\xE0\xF0\r\nHide=0");
  const std::string upgrade_log = log.NewLines();
  EXPECT_TRUE(Contains(upgrade_log, "service stopped"));
  EXPECT_TRUE(Contains(upgrade_log, "remoteip=127.0.0.2 "));
  EXPECT_TRUE(Contains(upgrade_log, "there is no account zalvo"));
  EXPECT_FALSE(Contains(upgrade_log, "moved aside")) << upgrade_log;
  station_key = registry.Open(Hive::kLocalMachine, kStationKey, platform::Access::kRead);
  EXPECT_EQ(station_key->ReadString("CustomerName"), "zalvo");
  EXPECT_EQ(station_key->ReadString("CustomerSid"), "");
  EXPECT_EQ(WaitForSingleObject(lock_process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(FileExists(ProgramFolder() + L"\\zalvoc.exe"));
  TerminateProcess(lock_process.get(), 0);
  WaitForSingleObject(lock_process.get(), 5000);

  // Back to this test's server and account: the agent answers it again; a
  // later upgrade keeps the account without /CUSTOMER.
  ASSERT_EQ(RunSetup(L"/SERVER=127.0.0.1" + CustomerSwitch()), 0u);
  EXPECT_TRUE(server.WaitForAgent(20000));
  ASSERT_EQ(RunSetup(L""), 0u);
  EXPECT_TRUE(server.WaitForAgent(20000));

  // The service removed by hand, then the quiet uninstall string: it
  // returns only when everything is gone, with no box to wait on, the
  // station's key among it.
  registry.Create(Hive::kLocalMachine, "SOFTWARE\\Zalvo")->WriteString("CommandKey", "kept?");
  ASSERT_EQ(RunAndWait(L"\"" + ProgramFolder() + L"\\zalvos.exe\" /STOP"), 0u);
  ASSERT_EQ(RunAndWait(L"\"" + ProgramFolder() + L"\\zalvos.exe\" /UNINSTALL /QUIET"), 0u);
  ASSERT_EQ(
      RunAndWait(L"\"" + ProgramFolder() + L"\\uninstall.exe\" /S _?=" + ProgramFolder(), 60000),
      0u);
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvos.exe"));
  EXPECT_FALSE(FileExists(ProgramFolder() + L"\\zalvoc.exe"));
  const std::string removal_log = log.NewLines();
  EXPECT_TRUE(Contains(removal_log, "service was not installed"));
  EXPECT_TRUE(Contains(removal_log, "firewall delete rule name=\"Zalvo Service\""));
  EXPECT_TRUE(Contains(removal_log, "HKLM\\SOFTWARE\\Zalvo removed"));
  EXPECT_EQ(registry.Open(Hive::kLocalMachine, "SOFTWARE\\Zalvo"), nullptr);
  run = registry.Open(Hive::kLocalMachine, kRunKey);
  EXPECT_TRUE(run == nullptr || !run->ReadString("Zalvo").has_value());
  EXPECT_EQ(registry.Open(Hive::kLocalMachine, kEventSource), nullptr);
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadString("Shell"), "club-shell.exe");
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, kShellPolicy)->ReadDword("DisableTaskMgr"), 0u);
  EXPECT_TRUE(Contains(removal_log, "Task Manager policy of"));
  station_key = registry.Open(Hive::kLocalMachine, kStationKey, platform::Access::kRead);
  EXPECT_TRUE(station_key == nullptr || !station_key->ReadString("CustomerName").has_value());
  EXPECT_EQ(settings::SettingsText(files.Read(settings_path)).Value("ServerIP"), "127.0.0.1");
  server.ReceiveUntilQuiet(300);
  server.Send("anyone?");
  EXPECT_EQ(server.Receive(700), std::nullopt);
  // What the next restart would remove (the uninstaller that ran in place).
  DeleteFileW((ProgramFolder() + L"\\uninstall.exe").c_str());
  RemoveDirectoryW(ProgramFolder().c_str());
  RegDeleteKeyValueW(HKEY_CURRENT_USER, Widen(kShellPolicy).c_str(), L"Shell");
  DeleteFileW((aside + L"\\wtsapi32.dll").c_str());
  RemoveDirectoryW(aside.c_str());
}

}  // namespace
}  // namespace zalvo::win32
