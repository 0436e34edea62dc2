// The settings dialog's commands: the save with the password change, the
// allowed-programs add, the open windows, and the menus' power, log-off and
// proxy commands.
#include <gtest/gtest.h>

#include "lockscreen/settings_io.h"
#include "lockscreen/strings.h"
#include "settings/passwords.h"
#include "settings/settings_file.h"
#include "tests/unit/lockscreen_fakes.h"

namespace zalvo::lockscreen {
namespace {

using testing::AdminRightsNeeded;
using testing::kAllowed;
using testing::kSettingsPath;
using testing::kZalvo;
using testing::LockScreenRig;

const std::string kInternet =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string kExplorer =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const std::string kMain = "HKCU\\Software\\Microsoft\\Internet Explorer\\Main";

// A started lock screen whose current-user hive has the keys the policy
// writer opens.
struct Rig : LockScreenRig {
  Rig() {
    for (const char* key :
         {"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
          "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Network",
          "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer"}) {
      registry.AddKey(key);
    }
    registry.AddKey(kInternet);
    registry.AddKey(kMain);
    files.files[kSettingsPath] = "Hide=1\r\nServerIP=10.0.0.1\r\n";
    screen.Start();
  }
  std::vector<std::string> SavedLines() { return settings::SplitLines(files.files[kSettingsPath]); }
  std::optional<std::string> Stored(const std::string& name) {
    return registry.String(kZalvo, name);
  }
};

TEST(Save, WritesAllFortyTwoKeysInOrderWithTextsAndNumbersAsTyped) {
  Rig rig;
  DialogModel& d = rig.dialog();
  for (const ControlLayout& control : DialogControls()) {
    if (control.key && control.kind != ControlKind::kCheckBox) {
      d.SetText(control.id, std::string(settings::Info(*control.key).name) + " =x");
    }
  }
  d.SetText(Ctl::edClosePasswordForm, "007");
  d.SetText(Ctl::edSendDataTime, "abc");
  d.SetChecked(Ctl::cbNoDrives, true);
  d.SetChecked(Ctl::cbPlayGame, false);
  rig.screen.SaveSettings();
  std::vector<std::string> lines = rig.SavedLines();
  ASSERT_EQ(lines.size(), 42u);
  const auto& table = settings::KeyTable();
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, lines[i].find('=')), table[i].name);
  }
  EXPECT_EQ(lines[0], "SearchPage=" + std::string(settings::kSearchPageUrl));
  EXPECT_EQ(lines[2], "PlayMusic=PlayMusic =x");
  EXPECT_EQ(lines[23], "NoDrives=1");
  EXPECT_EQ(lines[35], "ClosePasswordForm=007");
  EXPECT_EQ(lines[36], "SendDataTime=abc");
  EXPECT_EQ(lines[41], "PlayGame=0");
  EXPECT_EQ(rig.files.files[kSettingsPath].substr(rig.files.files[kSettingsPath].size() - 2),
            "\r\n");

  d.SetText(Ctl::edProxyOverride, "");
  d.SetText(Ctl::edPlayMusic, "");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.SavedLines().size(), 40u);  // empty texts are left out
}

TEST(Save, RunsTheLockScreensPolicyVariantWithTheAddressInEffect) {
  Rig rig;
  rig.dialog().SetText(Ctl::edServerIP, "10.0.0.2");
  rig.dialog().SetChecked(Ctl::cbUseProxy, true);
  rig.dialog().SetText(Ctl::edProxy, "proxy");
  rig.dialog().SetText(Ctl::edPort, "3128");
  rig.registry.SetString("HKCU\\Control Panel\\desktop", "Wallpaper", "C:\\new.bmp");
  rig.screen.SaveSettings();
  const auto& writes = rig.registry.writes();
  auto at = [&](const std::string& name) {
    return std::find(writes.begin(), writes.end(), name) - writes.begin();
  };
  EXPECT_LT(at(kMain + "\\Search Page"), at(kMain + "\\Start Page"));
  EXPECT_EQ(rig.registry.String(kMain, "Search Page"), std::string(settings::kSearchPageUrl));
  // The gate is open while NoAutomatProxy is unticked.
  EXPECT_EQ(rig.registry.Dword(kInternet, "ProxyEnable"), 1u);
  EXPECT_EQ(rig.registry.String(kInternet, "ProxyServer"), "proxy:3128");
  EXPECT_EQ(rig.main.wallpapers.back(), "C:\\new.bmp");
  // The edited address reaches the registry copy only with the next save.
  EXPECT_EQ(rig.Stored("ServerIP"), "10.0.0.1");
  EXPECT_EQ(rig.screen.memory().server_ip, "10.0.0.2");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.Stored("ServerIP"), "10.0.0.2");

  rig.dialog().SetChecked(Ctl::cbNoAutomatProxy, true);
  rig.dialog().SetChecked(Ctl::cbUseProxy, false);
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.registry.Dword(kInternet, "ProxyEnable"), 1u);  // gate closed: untouched

  // A value the account may not write ends the policies there; the file is
  // saved all the same, the log says how far they got, and the message that
  // an administrator is needed.
  rig.registry.DenyWrite(kExplorer, "NoDrives");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.log,
            std::vector<std::string>{
                "policies written in part: Access is denied (administrator rights needed)"});
  EXPECT_EQ(rig.files.replaces, 4);
  EXPECT_EQ(rig.main.errors, std::vector<std::string>{AdminRightsNeeded("Access is denied")});
}

TEST(Save, ThePasswordChangesWhenBothEntriesAgreeAndAreNotEmpty) {
  Rig rig;
  rig.dialog().SetText(Ctl::edServerIP, "10.9.9.9");
  rig.dialog().SetText(Ctl::edNewPassword, "pass1");
  rig.dialog().SetText(Ctl::edNewPassword1, "pass2");
  rig.screen.SaveSettings();
  EXPECT_FALSE(rig.Stored("SmallPassword").has_value());
  EXPECT_TRUE(rig.main.errors.empty());
  EXPECT_EQ(rig.files.replaces, 1);                           // the file is saved all the same
  EXPECT_EQ(rig.dialog().Text(Ctl::edNewPassword), "pass1");  // entries keep their text

  rig.dialog().SetText(Ctl::edNewPassword1, "pass1");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.Stored("SmallPassword"), settings::ScramblePassword("pass1"));
  EXPECT_EQ(rig.screen.memory().small_password, "pass1");
  EXPECT_EQ(rig.screen.memory().admin_password, kDefaultAdminPassword);
  // ServerIP written with the password change lags one save as well.
  EXPECT_EQ(rig.Stored("ServerIP"), "10.9.9.9");

  rig.dialog().SetChecked(Ctl::cbPassAdmin, true);
  rig.dialog().SetText(Ctl::edNewPassword, "adm");
  rig.dialog().SetText(Ctl::edNewPassword1, "adm");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.Stored("ZalvoPassword"), settings::ScramblePassword("adm"));
  EXPECT_EQ(rig.screen.memory().admin_password, "adm");
  EXPECT_EQ(rig.screen.memory().small_password, "pass1");

  rig.dialog().SetText(Ctl::edNewPassword, "");
  rig.dialog().SetText(Ctl::edNewPassword1, "");
  rig.registry.SetString(kZalvo, "ZalvoPassword", "untouched");
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.Stored("ZalvoPassword"), "untouched");
}

TEST(Save, AFileThatCantBeWrittenShowsTheFailureAndSkipsTheRest) {
  Rig rig;
  rig.files.refuse_writes = true;
  rig.dialog().SetChecked(Ctl::cbUseProxy, true);
  rig.dialog().SetChecked(Ctl::cbNoDrives, true);
  rig.dialog().SetText(Ctl::edServerIP, "10.5.5.5");
  rig.dialog().SetChecked(Ctl::cbHideMyDesktop, false);
  rig.dialog().SetText(Ctl::edNewPassword, "p");
  rig.dialog().SetText(Ctl::edNewPassword1, "p");
  rig.main.proxy_caption = "before";
  rig.screen.SaveSettings();
  EXPECT_EQ(rig.main.errors, std::vector<std::string>{AdminRightsNeeded("Access is denied")});
  EXPECT_EQ(rig.log, std::vector<std::string>{
                         "settings save failed: Access is denied (administrator rights needed)"});
  EXPECT_EQ(rig.registry.Dword(kExplorer, "NoDrives"), 7u);  // the policies ran first
  EXPECT_FALSE(rig.Stored("SmallPassword").has_value());
  EXPECT_EQ(rig.screen.memory().small_password, kDefaultSmallPassword);
  EXPECT_EQ(rig.screen.memory().server_ip, "10.0.0.1");
  EXPECT_TRUE(rig.screen.memory().hide);
  EXPECT_EQ(rig.main.proxy_caption, "before");
}

TEST(Save, APasswordThatCantBeStoredIsReportedNotTakenSilently) {
  Rig rig;
  rig.registry.DenyOpen(kZalvo);
  rig.dialog().SetText(Ctl::edNewPassword, "p");
  rig.dialog().SetText(Ctl::edNewPassword1, "p");
  rig.screen.SaveSettings();
  ASSERT_EQ(rig.main.errors.size(), 1u);
  EXPECT_NE(rig.main.errors[0].find("Software\\Kav\\Zalvo"), std::string::npos);
  EXPECT_EQ(rig.screen.memory().small_password, kDefaultSmallPassword);

  Rig refused;
  refused.registry.DenyWrite(kZalvo, "SmallPassword");
  refused.dialog().SetText(Ctl::edNewPassword, "p");
  refused.dialog().SetText(Ctl::edNewPassword1, "p");
  refused.screen.SaveSettings();
  EXPECT_EQ(refused.main.errors, std::vector<std::string>{AdminRightsNeeded("Access is denied")});
  EXPECT_EQ(refused.screen.memory().small_password, kDefaultSmallPassword);
}

TEST(ProxyCommand, FlipsTheBoxSavesAndNamesTheNextAction) {
  Rig rig;
  rig.registry.SetDword(kInternet, "ProxyEnable", 0);
  rig.screen.ToggleProxy();
  EXPECT_EQ(rig.registry.Dword(kInternet, "ProxyEnable"), 1u);
  EXPECT_NE(rig.files.files[kSettingsPath].find("\r\nProxyEnable=1\r\n"), std::string::npos);
  EXPECT_EQ(rig.main.proxy_caption, strings::Cp1251("Изключва Proxy"));
  rig.screen.ToggleProxy();
  EXPECT_EQ(rig.registry.Dword(kInternet, "ProxyEnable"), 0u);
  EXPECT_NE(rig.files.files[kSettingsPath].find("\r\nProxyEnable=0\r\n"), std::string::npos);
  EXPECT_EQ(rig.main.proxy_caption, strings::Cp1251("Включва Proxy"));
  EXPECT_EQ(rig.files.replaces, 2);
}

TEST(ProxyCommand, RightAfterStartKeepsTheRestrictionOfTheFile) {
  LockScreenRig rig;
  rig.registry.AddKey(kExplorer);
  rig.files.files[kSettingsPath] = "Hide=1\r\nRestrictRun=1\r\n";
  rig.registry.SetString(kAllowed, "1", "zalvoc.exe");
  rig.screen.Start();
  rig.screen.ToggleProxy();
  EXPECT_NE(rig.files.files[kSettingsPath].find("\r\nRestrictRun=1\r\n"), std::string::npos);
  EXPECT_EQ(rig.registry.Dword(kExplorer, "RestrictRun"), 1u);
}

TEST(AllowedPrograms, AddsUnderTheCountOfEntriesOrTheNextFreeName) {
  Rig rig;
  rig.dialog().SetText(Ctl::edNewProgram, "zalvoc.exe");
  rig.screen.AddProgram();
  rig.dialog().SetText(Ctl::edNewProgram, "game.exe");
  rig.screen.AddProgram();
  EXPECT_EQ(rig.registry.String(kAllowed, "1"), "zalvoc.exe");
  EXPECT_EQ(rig.registry.String(kAllowed, "2"), "game.exe");
  EXPECT_EQ(rig.dialog().Items(Ctl::lstAllowedPrograms),
            (std::vector<std::string>{"zalvoc.exe", "game.exe"}));
  EXPECT_EQ(rig.dialog().Text(Ctl::edNewProgram), "game.exe");  // keeps its text
  rig.dialog().SetChecked(Ctl::cbRestrictRun, true);
  EXPECT_TRUE(rig.dialog().Checked(Ctl::cbRestrictRun));

  // An empty name and a second copy are added as they stand.
  rig.screen.AddProgram();
  rig.dialog().SetText(Ctl::edNewProgram, "");
  rig.screen.AddProgram();
  EXPECT_EQ(rig.registry.String(kAllowed, "3"), "game.exe");
  EXPECT_EQ(rig.registry.String(kAllowed, "4"), "");

  Rig eleven;
  for (int i = 1; i <= 11; ++i) {
    eleven.registry.SetString(kAllowed, std::to_string(i), "p" + std::to_string(i));
  }
  eleven.screen.LoadSettings();
  eleven.dialog().SetText(Ctl::edNewProgram, "new.exe");
  eleven.screen.AddProgram();
  EXPECT_EQ(eleven.registry.String(kAllowed, "12"), "new.exe");

  // Names written by another tool are never replaced.
  Rig gaps;
  gaps.registry.SetString(kAllowed, "1", "a.exe");
  gaps.registry.SetString(kAllowed, "3", "c.exe");
  gaps.screen.LoadSettings();
  gaps.dialog().SetText(Ctl::edNewProgram, "new.exe");
  gaps.screen.AddProgram();
  EXPECT_EQ(gaps.registry.String(kAllowed, "3"), "c.exe");
  EXPECT_EQ(gaps.registry.String(kAllowed, "4"), "new.exe");
  EXPECT_EQ(NextProgramValueName({"1", "2", "x"}, 3), "3");
  EXPECT_EQ(NextProgramValueName({"3", "4", "6"}, 3), "5");
}

TEST(AllowedPrograms, AnAddThatCantOpenChangesNothingAndEitherRefusalIsShown) {
  Rig rig;
  rig.registry.DenyOpen(kAllowed);
  rig.dialog().SetText(Ctl::edNewProgram, "a.exe");
  rig.screen.AddProgram();
  EXPECT_TRUE(rig.dialog().Items(Ctl::lstAllowedPrograms).empty());
  ASSERT_EQ(rig.main.errors.size(), 1u);
  EXPECT_EQ(rig.main.errors[0].rfind(AdminRightsNeeded("HKEY_CURRENT_USER\\"), 0), 0u);
  ASSERT_EQ(rig.log.size(), 1u);
  EXPECT_EQ(rig.log[0].rfind("program add failed: HKEY_CURRENT_USER\\", 0), 0u);

  Rig refused;
  refused.registry.DenyWrite(kAllowed, "1");
  refused.dialog().SetText(Ctl::edNewProgram, "a.exe");
  refused.screen.AddProgram();
  EXPECT_EQ(refused.main.errors, std::vector<std::string>{AdminRightsNeeded("Access is denied")});
  EXPECT_EQ(refused.dialog().Items(Ctl::lstAllowedPrograms), std::vector<std::string>{"a.exe"});
  refused.screen.LoadSettings();  // the next load puts the registry's list back
  EXPECT_TRUE(refused.dialog().Items(Ctl::lstAllowedPrograms).empty());
}

TEST(OpenWindows, AreListedSortedInLatinCapitalsAndClosedOrEndedByTitle) {
  Rig rig;
  rig.desktop.windows = {{10, 100, "notepad - a.txt"},
                         {11, 101, ""},
                         {12, 102, strings::Cp1251("Игра game")},
                         {13, 103, "Notepad - A.txt"},
                         {14, 104, "Browser"}};
  rig.screen.RefreshWindowList();
  EXPECT_EQ(rig.dialog().Items(Ctl::lstOpenWindows),
            (std::vector<std::string>{"BROWSER", "NOTEPAD - A.TXT", "NOTEPAD - A.TXT",
                                      strings::Cp1251("Игра GAME")}));

  rig.screen.CloseChosenWindow();  // no title chosen: nothing
  rig.screen.EndChosenProcess();
  EXPECT_TRUE(rig.desktop.actions.empty());

  rig.screen.ChooseWindow(1);
  EXPECT_EQ(rig.dialog().Text(Ctl::edChosenWindow), "NOTEPAD - A.TXT");
  rig.screen.ChooseWindow(99);  // no entry there: the chosen title stays
  EXPECT_EQ(rig.dialog().Text(Ctl::edChosenWindow), "NOTEPAD - A.TXT");
  rig.screen.CloseChosenWindow();  // the first window of that title, any case
  EXPECT_EQ(rig.desktop.actions, std::vector<std::string>{"CloseWindow 10"});

  rig.desktop.actions.clear();
  rig.desktop.windows.erase(rig.desktop.windows.begin());
  rig.screen.EndChosenProcess();
  EXPECT_EQ(rig.desktop.actions, std::vector<std::string>{"TerminateProcess 103 0"});
  EXPECT_EQ(rig.dialog().Items(Ctl::lstOpenWindows).size(), 2u);  // refreshed without it

  rig.desktop.actions.clear();
  rig.dialog().SetText(Ctl::edChosenWindow, "NO SUCH WINDOW");
  rig.desktop.windows.push_back({15, 105, "Late"});
  rig.screen.CloseChosenWindow();
  rig.screen.EndChosenProcess();
  EXPECT_TRUE(rig.desktop.actions.empty());
  EXPECT_EQ(rig.dialog().Items(Ctl::lstOpenWindows).size(), 3u);  // still refreshed

  // A process the system does not let go of stays, and the refusal is logged.
  rig.dialog().SetText(Ctl::edChosenWindow, "LATE");
  rig.desktop.unkillable = {105};
  rig.screen.EndChosenProcess();
  EXPECT_EQ(rig.desktop.actions, std::vector<std::string>{"TerminateProcess 105 0"});
  EXPECT_EQ(rig.log, (std::vector<std::string>{"close window: no window \"NO SUCH WINDOW\"",
                                               "end process: no window \"NO SUCH WINDOW\"",
                                               "end process: process 105 could not be ended"}));
}

TEST(Release, UnlocksAsALogInDoesAndClosesTheDialog) {
  Rig rig;
  rig.screen.memory().admin_password = "admin";
  rig.screen.Lock();
  rig.dialog_view.while_shown = [&] {
    EXPECT_TRUE(rig.dialog_view.visible);
    rig.screen.ReleaseStation();
    EXPECT_FALSE(rig.dialog_view.visible);
  };
  rig.screen.Login("x", "admin");
  EXPECT_FALSE(rig.main.visible);
  EXPECT_EQ(rig.AutoAdminLogon(), "1");
}

TEST(PowerCommands, NeedTheShutdownPrivilegeAndLogOffClosesTheWindow) {
  Rig rig;
  rig.screen.Reboot();
  rig.screen.ShutDown();
  EXPECT_EQ(rig.desktop.actions,
            (std::vector<std::string>{"ShutDownSystem restart", "ShutDownSystem shut down"}));
  EXPECT_EQ(rig.desktop.privilege_requests,
            (std::vector<std::string>{"SeShutdownPrivilege", "SeShutdownPrivilege"}));

  Rig unprivileged;
  unprivileged.desktop.privileges = std::set<std::string>{};
  unprivileged.screen.Reboot();
  unprivileged.screen.ShutDown();
  EXPECT_TRUE(unprivileged.desktop.actions.empty());
  unprivileged.screen.LogOff();  // needs no privilege
  EXPECT_EQ(unprivileged.desktop.actions, std::vector<std::string>{"LogOff"});
  EXPECT_EQ(unprivileged.main.actions.back(), "Close");
  EXPECT_EQ(unprivileged.log,
            (std::vector<std::string>{
                "restart not done: the account does not hold SeShutdownPrivilege",
                "shut-down not done: the account does not hold SeShutdownPrivilege"}));

  // Windows refuses to end: each refusal is logged with the system's reason,
  // and the log-off still closes the lock screen.
  Rig refused;
  refused.desktop.shutdown_refusals = {
      platform::PlatformError("The device is not ready.", platform::ErrorKind::kOther, 21),
      platform::PlatformError("Access is denied.", platform::ErrorKind::kAccessDenied, 5)};
  refused.desktop.log_off_result = false;
  refused.screen.Reboot();
  refused.screen.ShutDown();
  refused.screen.LogOff();
  EXPECT_EQ(refused.log, (std::vector<std::string>{
                             "restart refused by Windows: The device is not ready. (error 21)",
                             "shut-down refused by Windows: Access is denied. (error 5)",
                             "log-off refused by Windows"}));
  EXPECT_EQ(refused.main.actions.back(), "Close");
  EXPECT_TRUE(rig.log.empty());
}

}  // namespace
}  // namespace zalvo::lockscreen
