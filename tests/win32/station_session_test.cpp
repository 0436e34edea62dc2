// One rented session on a whole station under Wine, with the real programs
// installed side by side: the agent installed as a service from its own
// switches, which takes the passwords of krv.krv over, the lock screen in the
// user's session, and the server on 127.0.0.1 opening the session, asking for
// a report, ending it, and the lock screen locked and unlocked afterwards by
// a password the service checks. Screenshots of the visible steps go to the build folder's
// screenshots/ (scripts/update-screenshots.sh copies them to docs/).
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>

#include "lockscreen/win32/ids.h"
#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/registry_names.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "tests/win32/gui_driver.h"

namespace zalvo::testing {
namespace {

namespace ids = lockscreen::ids;
using platform::Hive;

const std::string kWinlogon(settings::kWinlogonKey);

class StationSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u)
        << "the session test needs an X display: run it under scripts/with-xvfb.sh";
    // The club's settings: the server on 127.0.0.1, both report parts on.
    std::string windows = files_.WindowsDirectory();
    files_.Replace(settings::SettingsFilePath(windows, settings::kSettingsFileName),
                   "ServerIP=127.0.0.1\r\nHide=1\r\nPlayGame=1\r\nFreeDisk=1\r\n"
                   "ClosePasswordForm=60\r\nPlayMusic=\r\n");
    // The club's passwords in the plain file of earlier installs.
    files_.Replace(
        password_file_ = settings::SettingsFilePath(windows, settings::kPasswordFileName),
        "p=adm1n\r\nps=1357\r\n");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Widen(settings::kPasswordStoreKey).c_str());
    // Installed side by side, as the installer puts them.
    folder_ = _wgetenv(L"TEMP") + std::wstring(L"\\zalvo-station");
    CreateDirectoryW(folder_.c_str(), nullptr);
    for (const auto& [from, name] : {std::pair{std::string(ZALVOS_PROGRAM), L"zalvos.exe"},
                                     std::pair{std::string(ZALVOC_PROGRAM), L"zalvoc.exe"}}) {
      ASSERT_TRUE(CopyFileW(win32::Widen(BuiltProgramPath(from)).c_str(),
                            (folder_ + L"\\" + name).c_str(), FALSE));
    }
    registry_.Create(Hive::kCurrentUser, "Control Panel\\desktop")
        ->WriteString("Wallpaper", WriteWallpaper(windows));
    // A station whose last session ended: the marker is "0".
    auto winlogon = registry_.Create(Hive::kLocalMachine, kWinlogon);
    winlogon->WriteString("ZalvoLogon", "0");
    winlogon->WriteString("AutoAdminLogon", "0");
    winlogon->WriteDword("LocalTimer", 0);
    RunAndWait(Installed(L"zalvos.exe") + L" /UNINSTALL /QUIET");
  }

  void TearDown() override {
    if (service_) {
      SERVICE_STATUS status{};
      ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
      for (int i = 0; i < 100 && State() != SERVICE_STOPPED; ++i) {
        Sleep(50);
      }
      service_.reset();
      RunAndWait(Installed(L"zalvos.exe") + L" /UNINSTALL /QUIET");
    }
    if (zalvoc_) {
      PostMessageW(main_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(zalvoc_.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(zalvoc_.get(), 1);
      }
    }
    // Later tests' lock screens keep their own passwords.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Widen(settings::kPasswordStoreKey).c_str());
  }

  std::wstring Installed(const wchar_t* name) { return L"\"" + folder_ + L"\\" + name + L"\""; }

  DWORD State() {
    SERVICE_STATUS status{};
    QueryServiceStatus(service_.get(), &status);
    return status.dwCurrentState;
  }

  void InstallAndStartAgent() {
    ASSERT_EQ(RunAndWait(Installed(L"zalvos.exe") + L" /INSTALL /SILENT"), 0u);
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    service_.reset(OpenServiceW(manager_.get(), L"ZalvoService", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service_);
    // Cheap hashes: each carries its count.
    const wchar_t* start_args[] = {L"--password-iterations", L"1000"};
    ASSERT_TRUE(StartServiceW(service_.get(), 2, start_args));
    ASSERT_TRUE(WaitFor([&] { return State() == SERVICE_RUNNING; }));
  }

  void StartLockScreen() {
    DrawOwnFrames("zalvoc.exe");
    StartedProcess started = StartProgram(Installed(L"zalvoc.exe"));
    zalvoc_.reset(started.handle);
    pid_ = started.id;
    ASSERT_TRUE(WaitFor([&] { return (main_ = TopLevel(pid_, ids::kMainClass)) != nullptr; }));
    ASSERT_TRUE(WaitFor([&] { return HasTrayIcon(main_); }));
  }

  std::optional<std::string> Text(const std::string& name) {
    auto key = registry_.Open(Hive::kLocalMachine, kWinlogon);
    return key ? key->ReadString(name) : std::nullopt;
  }
  std::optional<uint32_t> Timer() {
    auto key = registry_.Open(Hive::kLocalMachine, kWinlogon);
    return key ? key->ReadDword(settings::kLocalTimer) : std::nullopt;
  }
  void SetMarker(const std::string& value) {
    registry_.Open(Hive::kLocalMachine, kWinlogon)->WriteString(settings::kZalvoLogon, value);
  }
  bool Visible(HWND hwnd) { return hwnd != nullptr && IsWindowVisible(hwnd); }
  std::string Kept(const std::string& name) {
    auto key = registry_.Open(Hive::kLocalMachine, settings::kPasswordStoreKey);
    return key ? key->ReadString(name).value_or("") : "";
  }
  // The lock screen's log: zalvoc.log in the temporary folder it shares with
  // this test.
  std::string LockScreenLog() {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    try {
      return files_.Read(win32::Narrow(folder) + "zalvoc.log");
    } catch (const platform::PlatformError&) {
      return "";
    }
  }
  RECT Screen() { return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

  win32::Win32Registry registry_;
  win32::Win32Files files_;
  win32::ScopedServiceHandle manager_;
  win32::ScopedServiceHandle service_;
  win32::ScopedHandle zalvoc_;
  DWORD pid_ = 0;
  HWND main_ = nullptr;
  std::wstring folder_;
  std::string password_file_;
};

TEST_F(StationSession, ARentedSessionOpensCountsShowsAndCloses) {
  ServerPeer server;
  InstallAndStartAgent();
  ASSERT_TRUE(server.WaitForAgent());
  // The service has taken the passwords over: only their hashes are kept,
  // readable by SYSTEM and the administrators, and the plain file is gone.
  EXPECT_TRUE(WaitFor([&] { return !Kept("SmallPassword").empty(); }));
  for (const char* name : {"AdminPassword", "SmallPassword"}) {
    EXPECT_EQ(Kept(name).rfind("pbkdf2-sha256$1000$", 0), 0u) << Kept(name);
  }
  EXPECT_EQ(GetFileAttributesW(win32::Widen(password_file_).c_str()), INVALID_FILE_ATTRIBUTES);
  StartLockScreen();
  // Every start of the lock screen hands Windows' automatic log-on on.
  EXPECT_TRUE(WaitFor([&] { return Text("AutoAdminLogon") == "1"; }));

  // The server opens a session of 30 minutes. The marker was "0", which asks
  // for a restart into the customer's account; the test sets it to "1" first:
  // Wine's restart does nothing, and the simulated station's tests count the
  // restarts.
  SetMarker("1");
  EXPECT_EQ(server.Exchange("ACTION SIT 30"), std::vector<std::string>{"PING"});
  EXPECT_EQ(Text("AutoAdminLogon"), "1");
  EXPECT_EQ(Text("DefaultUserName"), "zalvo");
  EXPECT_EQ(Text("DefaultPassword"), "946");
  EXPECT_EQ(Text("ZalvoLogon"), "1");
  EXPECT_EQ(Timer(), 1800u);

  // The customer opens "Оставащо време" from the icon and sees the time.
  PostMessageW(main_, ids::kTrayMessage, ids::kTrayIconId, WM_LBUTTONUP);
  HWND rest = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Visible(rest = TopLevel(pid_, ids::kRestTimeClass)); }));
  HWND label = Child(rest, ids::lbRemainingTime);
  EXPECT_TRUE(WaitFor([&] { return TextOf(label) == L"30 мин."; })) << win32::Narrow(TextOf(label));
  SaveScreenshot(rest, "session-remaining-time.png");

  // The status report: the foreground application (or its absence), the free
  // space of C:, then the keep-alive.
  std::vector<std::string> info = server.Exchange("ACTION INFO");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.back(), "PING");
  ASSERT_GE(info.size(), 2u);
  EXPECT_TRUE(std::regex_match(info[info.size() - 2], std::regex("INFO  c:[0-9]+MB")))
      << info[info.size() - 2];
  for (size_t i = 0; i + 2 < info.size(); ++i) {
    EXPECT_EQ(info[i].rfind("PLAYGAME=", 0), 0u) << info[i];
  }

  // The server ends the session: each "ACTION STAND" leaves at most 100
  // seconds less 20, and the one that reaches 0 ends it. The marker is set to
  // "0" so that the end asks for no restart.
  SetMarker("0");
  int stands = 0;
  while (Timer() != 0u && stands < 8) {
    EXPECT_EQ(server.Exchange("ACTION STAND"), std::vector<std::string>{"PING"});
    ++stands;
  }
  EXPECT_GE(stands, 2);
  EXPECT_EQ(Timer(), 0u);
  EXPECT_EQ(Text("AutoAdminLogon"), "0");
  EXPECT_EQ(Text("ZalvoLogon"), "0");
  EXPECT_TRUE(WaitFor([&] { return TextOf(label) == L"0 мин."; }));
  SaveScreenshot(rest, "session-ended-remaining-time.png");
  PostMessageW(rest, WM_CLOSE, 0, 0);

  // The lock screen locks: the screen is covered, and automatic log-on is off.
  PostMessageW(main_, WM_COMMAND, MAKEWPARAM(ids::mnLock, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return Text("AutoAdminLogon") == "0"; }));
  Pump(500);
  SaveScreenshot(Screen(), "session-locked.png");

  // The service checks what is typed: the built-in administrator password of
  // earlier versions opens nothing.
  HWND panel = Child(main_, ids::PasswordPanel);
  PostMessageW(main_, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(200, 200));
  ASSERT_TRUE(WaitFor([&] { return Visible(panel); }));
  HWND user = Child(panel, ids::edUser);
  HWND password = Child(panel, ids::edPassword);
  Type(user, L"1");
  Type(password, L"qwmzvk");
  ASSERT_TRUE(WaitFor([&] { return TextOf(password).size() == 6; }));
  PressEnter(password);
  EXPECT_TRUE(WaitFor([&] {
    return LockScreenLog().find(
               "log-in refused by the station's service: wrong name or "
               "password") != std::string::npos;
  })) << LockScreenLog();
  EXPECT_TRUE(Visible(main_));
  EXPECT_EQ(Text("AutoAdminLogon"), "0");
  // After a wrong password the service checks the next one a second later
  // (a pause of its own, nothing to wait on).
  Sleep(1100);

  // A local log-in with user "1" unlocks and writes "1": whichever program
  // wrote last decides the next Windows log-on.
  ASSERT_TRUE(WaitFor([&] { return TextOf(password).empty(); }));
  Type(user, L"1");
  Type(password, L"1357");
  ASSERT_TRUE(WaitFor([&] { return TextOf(password).size() == 4; }));
  SaveScreenshot(Screen(), "session-log-in.png");
  PressEnter(password);
  EXPECT_TRUE(WaitFor([&] { return !Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return Text("AutoAdminLogon") == "1"; }));
  EXPECT_EQ(Text("ZalvoLogon"), "0");  // the lock screen writes only AutoAdminLogon

  // The agent still answers after all of it.
  EXPECT_EQ(server.Exchange("hello"), std::vector<std::string>{"PING"});
}

}  // namespace
}  // namespace zalvo::testing
