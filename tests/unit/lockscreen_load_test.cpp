// The lock screen's start-up and its settings load into the dialog's
// controls.
#include <gtest/gtest.h>

#include <set>

#include "lockscreen/dialog_layout.h"
#include "lockscreen/settings_io.h"
#include "lockscreen/strings.h"
#include "settings/passwords.h"
#include "tests/unit/lockscreen_fakes.h"

namespace zalvo::lockscreen {
namespace {

using settings::Key;
using testing::kAllowed;
using testing::kPasswordPath;
using testing::kSettingsPath;
using testing::kWinlogon;
using testing::kZalvo;
using testing::LockScreenRig;

TEST(DialogLayout, EveryKeyButSearchPageHasOneControlOfItsKind) {
  std::set<Key> seen;
  for (const ControlLayout& control : DialogControls()) {
    if (!control.key) {
      continue;
    }
    EXPECT_TRUE(seen.insert(*control.key).second) << settings::Info(*control.key).name;
    const bool flag = settings::Info(*control.key).kind == settings::Kind::Flag;
    EXPECT_EQ(control.kind == ControlKind::kCheckBox, flag) << settings::Info(*control.key).name;
    EXPECT_GE(control.page, 1) << settings::Info(*control.key).name;
  }
  EXPECT_EQ(seen.size(), settings::kKeyCount - 1);
  EXPECT_FALSE(ControlOf(Key::SearchPage).has_value());
  EXPECT_EQ(LayoutOf(Ctl::edNewPassword).max_length, 8);
  EXPECT_EQ(LayoutOf(Ctl::edNewPassword1).kind, ControlKind::kPasswordEdit);
  EXPECT_TRUE(LayoutOf(Ctl::edWallpaper).hidden);
  EXPECT_EQ(LayoutOf(Ctl::lstOpenWindows).kind, ControlKind::kSortedListBox);
  EXPECT_EQ(LayoutOf(Ctl::lstAllowedPrograms).kind, ControlKind::kListBox);
}

TEST(LockScreenLoad, EveryKeyIsAppliedPresentOrNotAndNumbersGetTheirDefaults) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] =
      "proxyenable=1\r\nStartPage=http://a/?x=1\r\nProxyPort=\r\nNoDrives=1\r\nBeep= 1\r\n"
      "Beep=1\r\nSendDataTime=abc\r\nServerIP=10.0.0.5\r\nHide=0\r\n";
  rig.screen.LoadSettings();
  DialogModel& d = rig.dialog();
  EXPECT_TRUE(d.Checked(Ctl::cbUseProxy));  // keys ignore case
  EXPECT_EQ(d.Text(Ctl::edStartPage), "http://a/?x=1");
  EXPECT_EQ(d.Text(Ctl::edPort), "");  // built-in 8080 replaced by the empty value
  EXPECT_EQ(d.Text(Ctl::edPlayMusic), "");
  EXPECT_EQ(d.Text(Ctl::edSearchList), "");
  EXPECT_TRUE(d.Checked(Ctl::cbNoDrives));
  EXPECT_FALSE(d.Checked(Ctl::cbBeep));  // the first line decides: " 1" is not "1"
  EXPECT_FALSE(d.Checked(Ctl::cbPlayGame));
  EXPECT_FALSE(d.Checked(Ctl::cbCheckWindowsList));
  EXPECT_EQ(d.Text(Ctl::edClosePasswordForm), "10");
  EXPECT_EQ(d.Text(Ctl::edSendDataTime), "abc");  // kept as typed, never converted
  EXPECT_EQ(d.Text(Ctl::edAutoShutDownSec), "6000");
  EXPECT_EQ(rig.screen.memory().server_ip, "10.0.0.5");
  EXPECT_FALSE(rig.screen.memory().hide);
}

TEST(LockScreenLoad, AMissingFileChangesNothing) {
  LockScreenRig rig;
  rig.dialog().SetText(Ctl::edProxy, "kept");
  rig.registry.SetString(kAllowed, "1", "zalvoc.exe");
  rig.files.files[kPasswordPath] = "p=x\r\nps=y\r\n";
  rig.screen.LoadSettings();
  EXPECT_EQ(rig.dialog().Text(Ctl::edProxy), "kept");
  // The dialog's built-in contents stay only while the file can't be read.
  EXPECT_EQ(rig.dialog().Text(Ctl::edPort), "8080");
  EXPECT_EQ(rig.dialog().Text(Ctl::edPlayMusic), "C:\\WINDOWS\\Media\\town.mid");
  EXPECT_TRUE(rig.dialog().Checked(Ctl::cbPlayGame));
  EXPECT_TRUE(rig.dialog().Items(Ctl::lstAllowedPrograms).empty());
  EXPECT_EQ(rig.screen.memory().admin_password, kInitialAdminPassword);
  EXPECT_EQ(rig.screen.memory().server_ip, kBuiltInServerIP);
  EXPECT_TRUE(rig.screen.memory().hide);
  EXPECT_EQ(rig.log, std::vector<std::string>{
                         "settings not loaded: Cannot open file \"C:\\WINDOWS\\krvini.ini\""});
}

TEST(LockScreenLoad, RestrictRunStaysAsTheFileSaysWheneverTheStoredListAllowsIt) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "RestrictRun=1\r\n";
  rig.registry.SetString(kAllowed, "1", "notepad.exe");
  rig.registry.SetString(kAllowed, "2", "ZALVOC.EXE");
  rig.screen.LoadSettings();  // the list box was still empty when the flags were set
  EXPECT_TRUE(rig.dialog().Checked(Ctl::cbRestrictRun));
  EXPECT_EQ(rig.dialog().Items(Ctl::lstAllowedPrograms),
            (std::vector<std::string>{"notepad.exe", "ZALVOC.EXE"}));

  // Without the own executable in the list the box can't stay ticked, from
  // a load or from a click; unticking is never refused.
  rig.registry.SetString(kAllowed, "2", "other.exe");
  rig.screen.LoadSettings();
  EXPECT_FALSE(rig.dialog().Checked(Ctl::cbRestrictRun));
  std::vector<Ctl> told;
  rig.dialog().SetObserver([&](Ctl c) { told.push_back(c); });
  rig.dialog().SetChecked(Ctl::cbRestrictRun, true);
  EXPECT_FALSE(rig.dialog().Checked(Ctl::cbRestrictRun));
  EXPECT_EQ(told, std::vector<Ctl>{Ctl::cbRestrictRun});  // the view hears to untick it

  // A list that ends early at a value of another type counts with the
  // entries read before it.
  rig.registry.SetString(kAllowed, "1", "zalvoc.exe");
  rig.registry.SetDword(kAllowed, "2", 5);
  rig.screen.LoadSettings();
  EXPECT_TRUE(rig.dialog().Checked(Ctl::cbRestrictRun));
  rig.files.files[kSettingsPath] = "RestrictRun=0\r\n";
  rig.screen.LoadSettings();
  EXPECT_FALSE(rig.dialog().Checked(Ctl::cbRestrictRun));
}

TEST(LockScreenLoad, AllowedProgramsAreSortedByNameAsTextAndAMissingKeyKeepsTheList) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "Hide=1\r\n";
  for (int i = 1; i <= 11; ++i) {
    rig.registry.SetString(kAllowed, std::to_string(i), "p" + std::to_string(i));
  }
  rig.screen.LoadSettings();
  EXPECT_EQ(rig.dialog().Items(Ctl::lstAllowedPrograms),
            (std::vector<std::string>{"p1", "p10", "p11", "p2", "p3", "p4", "p5", "p6", "p7", "p8",
                                      "p9"}));

  LockScreenRig other;
  other.files.files[kSettingsPath] = "Hide=1\r\n";
  other.dialog().AddItem(Ctl::lstAllowedPrograms, "typed.exe");
  other.screen.LoadSettings();
  EXPECT_EQ(other.dialog().Items(Ctl::lstAllowedPrograms), std::vector<std::string>{"typed.exe"});
}

TEST(LockScreenLoad, ANonStringListValueEndsTheLoadBeforeKrvKrv) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "ServerIP=1.2.3.4\r\n";
  rig.files.files[kPasswordPath] = "p=new\r\nps=9\r\n";
  rig.registry.SetString(kAllowed, "1", "a.exe");
  rig.registry.SetDword(kAllowed, "2", 5);
  rig.registry.SetString(kAllowed, "3", "c.exe");
  rig.screen.LoadSettings();
  EXPECT_EQ(rig.dialog().Items(Ctl::lstAllowedPrograms), std::vector<std::string>{"a.exe"});
  EXPECT_EQ(rig.screen.memory().server_ip, "1.2.3.4");
  EXPECT_EQ(rig.screen.memory().admin_password, kInitialAdminPassword);
  EXPECT_EQ(rig.log,
            std::vector<std::string>{"allowed programs read in part: Invalid data type for '2'"});
}

TEST(LockScreenLoad, KrvKrvSetsThePasswordsItNamesAndKeepsTheOthers) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "";
  rig.files.files[kPasswordPath] = "ps=2468\r\n";
  rig.screen.LoadSettings();
  // A file with only one line, or an empty value, never empties the other
  // password: an empty password would open the station to anyone.
  EXPECT_EQ(rig.screen.memory().admin_password, kInitialAdminPassword);
  EXPECT_EQ(rig.screen.memory().small_password, "2468");
  rig.files.files[kPasswordPath] = "p=club1\r\nps=\r\n";
  rig.screen.LoadSettings();
  EXPECT_EQ(rig.screen.memory().admin_password, "club1");
  EXPECT_EQ(rig.screen.memory().small_password, "2468");
  rig.files.files.erase(kPasswordPath);
  rig.screen.LoadSettings();
  EXPECT_EQ(rig.screen.memory().small_password, "2468");
  EXPECT_TRUE(rig.log.empty());  // krv.krv is optional
}

TEST(LockScreenStart, ReadsPasswordsAndWallpaperWritesAutoAdminLogonAndStaysHidden) {
  LockScreenRig rig;
  rig.registry.SetString(kWinlogon, "AutoAdminLogon", "0");
  rig.registry.SetString("HKCU\\Control Panel\\desktop", "Wallpaper", "C:\\pic.bmp");
  rig.registry.SetString(kZalvo, "ZalvoPassword", settings::ScramblePassword("admin"));
  rig.registry.SetString(kZalvo, "SmallPassword", std::string(300, 'x' ^ 0x0E));
  rig.files.files[kSettingsPath] = "Hide=0\r\n";  // read after the decision to stay hidden
  rig.screen.Start();
  EXPECT_EQ(rig.AutoAdminLogon(), "1");
  EXPECT_EQ(rig.screen.memory().admin_password, "admin");
  EXPECT_EQ(rig.screen.memory().small_password, std::string(255, 'x'));
  EXPECT_EQ(rig.screen.memory().wallpaper_path, "C:\\pic.bmp");
  EXPECT_EQ(rig.main.wallpapers, std::vector<std::string>{"C:\\pic.bmp"});
  EXPECT_FALSE(rig.main.visible);
  EXPECT_FALSE(rig.screen.memory().hide);
  EXPECT_EQ(rig.main.actions.front(), "HideApplicationWindow");
}

TEST(LockScreenStart, EmptyOrMissingPasswordsTakeTheDefaultsAndKrvKrvOverridesThem) {
  LockScreenRig rig;
  rig.registry.SetString(kZalvo, "ZalvoPassword", "");
  rig.screen.Start();
  EXPECT_EQ(rig.screen.memory().admin_password, kDefaultAdminPassword);
  EXPECT_EQ(rig.screen.memory().small_password, kDefaultSmallPassword);
  EXPECT_NE(kDefaultSmallPassword, kInitialSmallPassword);
  EXPECT_TRUE(rig.registry.HasKey(kZalvo));  // created when missing

  LockScreenRig with_file;
  with_file.files.files[kSettingsPath] = "Hide=1\r\n";
  with_file.files.files[kPasswordPath] = "p=fromfile\r\nps=3\r\n";
  with_file.screen.Start();
  EXPECT_EQ(with_file.screen.memory().admin_password, "fromfile");
  EXPECT_EQ(with_file.screen.memory().small_password, "3");
}

TEST(LockScreenStart, UnreachableKeysKeepTheBuiltInValues) {
  LockScreenRig rig;
  rig.registry.DenyOpen(kZalvo);
  rig.registry.DenyOpen(kWinlogon);
  rig.registry.SetWrongType("HKCU\\Control Panel\\desktop", "Wallpaper");
  rig.screen.Start();
  EXPECT_EQ(rig.screen.memory().admin_password, kInitialAdminPassword);
  EXPECT_EQ(rig.screen.memory().small_password, kInitialSmallPassword);
  EXPECT_TRUE(rig.main.wallpapers.empty());
  EXPECT_FALSE(rig.AutoAdminLogon().has_value());
  // The start goes on, and says what it could not do.
  ASSERT_EQ(rig.log.size(), 4u);
  EXPECT_EQ(rig.log[0], "wallpaper not read: Invalid data type for 'Wallpaper'");
  EXPECT_EQ(rig.log[1].rfind("passwords not read: HKEY_CURRENT_USER\\Software\\Kav\\Zalvo", 0), 0u);
  EXPECT_EQ(rig.log[2].rfind("AutoAdminLogon \"1\" not written: HKEY_LOCAL_MACHINE\\", 0), 0u);
  EXPECT_EQ(rig.log[3].rfind("settings not loaded: ", 0), 0u);
}

TEST(LockScreenLoad, TheProxyItemNamesWhatItsNextClickDoesAfterEveryLoad) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "Hide=1\r\nProxyEnable=1\r\n";
  rig.screen.Start();
  EXPECT_EQ(rig.main.proxy_caption, strings::Cp1251("Изключва Proxy"));
  // Another program switched the proxy off in the file: the next load (each
  // lock) follows it.
  rig.files.files[kSettingsPath] = "Hide=1\r\nProxyEnable=0\r\n";
  rig.screen.Lock();
  EXPECT_EQ(rig.main.proxy_caption, strings::Cp1251("Включва Proxy"));
}

}  // namespace
}  // namespace zalvo::lockscreen
