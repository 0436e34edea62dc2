// Lock, unlock, the local log-in and its panel, and the remaining-time
// window of the lock screen.
#include <gtest/gtest.h>

#include "lockscreen/strings.h"
#include "tests/unit/lockscreen_fakes.h"

namespace zalvo::lockscreen {
namespace {

using testing::kPasswordPath;
using testing::kSettingsPath;
using testing::kWinlogon;
using testing::LockScreenRig;

// A started lock screen whose settings file keeps Hide on.
struct Started : LockScreenRig {
  explicit Started(std::string settings = "Hide=1\r\nServerIP=10.1.1.1\r\n") {
    files.files[kSettingsPath] = std::move(settings);
    screen.Start();
    screen.memory().admin_password = "admin";
    screen.memory().small_password = "7";
  }
};

TEST(Lock, CoversTheScreenReloadsAndWritesAutoAdminLogonZero) {
  Started rig;
  rig.files.files[kSettingsPath] = "Hide=1\r\nServerIP=10.2.2.2\r\n";
  rig.desktop.windows = {{5, 50, "notepad"}};
  rig.screen.Lock();
  EXPECT_TRUE(rig.main.covering);
  EXPECT_FALSE(rig.main.unlocked_controls);
  EXPECT_EQ(rig.main.status, strings::Cp1251(" Добре дошли. Моля изчакайте ..."));
  EXPECT_EQ(rig.AutoAdminLogon(), "0");
  // Showing the hidden window reloaded the settings and the window list.
  EXPECT_EQ(rig.screen.memory().server_ip, "10.2.2.2");
  EXPECT_EQ(rig.dialog().Items(Ctl::lstOpenWindows), std::vector<std::string>{"NOTEPAD"});

  // Locking again repeats every step, without a second reload.
  rig.files.files[kSettingsPath] = "Hide=1\r\nServerIP=10.3.3.3\r\n";
  rig.registry.SetString(kWinlogon, "AutoAdminLogon", "1");
  rig.screen.Lock();
  EXPECT_EQ(rig.AutoAdminLogon(), "0");
  EXPECT_EQ(rig.screen.memory().server_ip, "10.2.2.2");
  EXPECT_EQ(std::count(rig.main.actions.begin(), rig.main.actions.end(), "CoverScreen"), 2);
}

TEST(Lock, DoesNothingWhileTheSettingsDialogIsVisible) {
  Started rig;
  rig.dialog_view.while_shown = [&] {
    rig.main.actions.clear();
    rig.screen.Lock();
    EXPECT_TRUE(rig.main.actions.empty());
    EXPECT_FALSE(rig.main.visible);
    EXPECT_EQ(rig.AutoAdminLogon(), "1");
  };
  rig.screen.Login("", "admin");
  ASSERT_EQ(rig.dialog_view.shown_sizes.size(), 1u);
  rig.screen.Lock();  // once the dialog has closed the lock works again
  EXPECT_TRUE(rig.main.covering);
  EXPECT_EQ(rig.AutoAdminLogon(), "0");
}

TEST(Unlock, HidesTheWindowWithHideOnAndLeavesAPlainDesktopWithHideOff) {
  Started rig;
  rig.screen.Lock();
  rig.screen.Unlock();
  EXPECT_FALSE(rig.main.visible);
  EXPECT_TRUE(rig.main.unlocked_controls);
  EXPECT_EQ(rig.main.status, "");
  EXPECT_EQ(rig.AutoAdminLogon(), "1");
  EXPECT_EQ(std::count(rig.main.actions.begin(), rig.main.actions.end(), "MonitorOn"), 0);

  Started plain("Hide=0\r\nShutDownMonitor=1\r\n");
  plain.screen.Unlock();  // hidden since start: shown, which reloads
  EXPECT_TRUE(plain.main.visible);
  EXPECT_TRUE(plain.main.unlocked_controls);
  EXPECT_EQ(std::count(plain.main.actions.begin(), plain.main.actions.end(), "MonitorOn"), 1);
  // Unticking the box without saving takes effect at once.
  plain.dialog().SetChecked(Ctl::cbShutDownMonitor, false);
  plain.screen.Unlock();
  EXPECT_EQ(std::count(plain.main.actions.begin(), plain.main.actions.end(), "MonitorOn"), 1);
}

TEST(Login, UserOneWithTheSmallPasswordUnlocksAndOtherNamesDoNot) {
  for (const char* name : {"2", " 1", "1 ", ""}) {
    Started rig;
    rig.screen.Lock();
    rig.screen.Login(name, "7");
    EXPECT_TRUE(rig.main.covering) << '"' << name << '"';
    EXPECT_EQ(rig.AutoAdminLogon(), "0");
    EXPECT_EQ(rig.main.actions.back(), "ClearLoginEdits");
  }
  Started rig;
  rig.screen.Lock();
  rig.screen.Login("1", "8");
  EXPECT_TRUE(rig.main.covering);
  rig.screen.Login("1", "7");
  EXPECT_FALSE(rig.main.visible);
  EXPECT_EQ(rig.AutoAdminLogon(), "1");
  EXPECT_TRUE(rig.dialog_view.shown_sizes.empty());
  EXPECT_EQ(rig.main.actions.back(), "ClearLoginEdits");
}

TEST(Login, TheAdministratorPasswordOpensTheDialogWithAnyName) {
  Started rig;
  rig.screen.Lock();
  rig.dialog().SetText(Ctl::edNewPassword, "left");
  rig.dialog().SetText(Ctl::edNewPassword1, "over");
  rig.files.files[kSettingsPath] = "Hide=1\r\nStartPage=http://saved/\r\n";
  rig.desktop.windows = {{9, 90, "Game window"}};
  rig.dialog_view.while_shown = [&] {
    EXPECT_FALSE(rig.main.visible);  // released before the dialog shows
    EXPECT_EQ(rig.AutoAdminLogon(), "1");
    EXPECT_EQ(rig.dialog().Text(Ctl::edNewPassword), "");
    EXPECT_EQ(rig.dialog().Text(Ctl::edNewPassword1), "");
    EXPECT_EQ(rig.dialog().Text(Ctl::edStartPage), "http://saved/");
    EXPECT_EQ(rig.dialog().Items(Ctl::lstOpenWindows), std::vector<std::string>{"GAME WINDOW"});
  };
  rig.screen.Login("", "admin");
  EXPECT_EQ(rig.dialog_view.shown_sizes, (std::vector<std::pair<int, int>>{{550, 465}}));
  EXPECT_EQ(rig.main.actions.back(), "ClearLoginEdits");

  rig.screen.Login("anyone", "Admin");  // comparisons are case-sensitive
  EXPECT_EQ(rig.dialog_view.shown_sizes.size(), 1u);
}

TEST(Login, APasswordThatIsBothUnlocksAndOpensTheDialog) {
  Started rig;
  rig.screen.memory().small_password = "same";
  rig.screen.memory().admin_password = "same";
  rig.screen.Lock();
  rig.screen.Login("1", "same");
  EXPECT_FALSE(rig.main.visible);
  EXPECT_EQ(rig.dialog_view.shown_sizes.size(), 1u);
}

TEST(Login, KrvKrvWithoutTheAdministratorLineLeavesNoEmptyPasswordToLogInWith) {
  Started rig;
  rig.files.files[kPasswordPath] = "ps=4\r\n";
  rig.screen.Lock();  // showing the window reloads, krv.krv included
  EXPECT_NE(rig.screen.memory().admin_password, "");
  rig.screen.Login("", "");
  EXPECT_TRUE(rig.dialog_view.shown_sizes.empty());
  rig.screen.Login("1", "4");
  EXPECT_FALSE(rig.main.visible);
}

TEST(LoginPanel, HidesAfterTheDialogsSecondsWithoutInput) {
  Started rig("Hide=1\r\nClosePasswordForm=15\r\n");
  rig.screen.OpenLoginPanel();
  EXPECT_TRUE(rig.main.login_panel);
  EXPECT_EQ(rig.main.login_timer, 15);
  // An unsaved edit of the period takes effect at the next input.
  rig.dialog().SetText(Ctl::edClosePasswordForm, "3");
  rig.screen.LoginInput();
  EXPECT_EQ(rig.main.login_timer, 3);
  rig.screen.LoginPanelTimedOut();
  EXPECT_FALSE(rig.main.login_panel);
  EXPECT_FALSE(rig.main.login_timer.has_value());
  rig.screen.LoginInput();  // typing into a hidden panel arms nothing
  EXPECT_FALSE(rig.main.login_timer.has_value());

  for (const char* period : {"0", "-5", "abc", "", " 7 "}) {
    rig.dialog().SetText(Ctl::edClosePasswordForm, period);
    rig.screen.OpenLoginPanel();
    EXPECT_TRUE(rig.main.login_panel);
    EXPECT_FALSE(rig.main.login_timer.has_value()) << '"' << period << '"';
  }
}

TEST(RemainingTimeText, WholeMinutesTruncatedTowardZero) {
  const std::string min = strings::Cp1251(" мин.");
  EXPECT_EQ(RemainingTimeText(125), "2" + min);
  EXPECT_EQ(RemainingTimeText(60), "1" + min);
  EXPECT_EQ(RemainingTimeText(59), "0" + min);
  EXPECT_EQ(RemainingTimeText(0), "0" + min);
  EXPECT_EQ(RemainingTimeText(-59), "0" + min);
  EXPECT_EQ(RemainingTimeText(-60), "-1" + min);
  EXPECT_EQ(RemainingTimeText(-61), "-1" + min);
  EXPECT_EQ(RemainingTimeText(INT32_MIN), "-35791394" + min);
}

// A started lock screen with its remaining-time window open.
struct Ticking : Started {
  Ticking() {
    dialog().SetText(Ctl::edPlayMusic, "C:\\m.mid");
    screen.remaining_time().Toggle();
  }
  void Tick(int32_t seconds) {
    registry.SetDword(kWinlogon, "LocalTimer", static_cast<uint32_t>(seconds));
    screen.remaining_time().Tick();
  }
};

TEST(RemainingTime, TheMelodyPlaysWhileTheTimeIsNegativeAndRepeatsAfterItsEnd) {
  Ticking rig;
  rig.Tick(3600);
  EXPECT_EQ(rig.rest_time.label, "60" + strings::Cp1251(" мин."));
  EXPECT_EQ(rig.melody.actions, std::vector<std::string>{"Stop"});
  rig.melody.actions.clear();
  rig.Tick(-1);
  rig.Tick(-2);                // still playing: not started again
  rig.melody.playing = false;  // played to its end
  rig.Tick(-3);
  EXPECT_EQ(rig.melody.actions, (std::vector<std::string>{"Play C:\\m.mid", "Play C:\\m.mid"}));
  rig.melody.actions.clear();
  rig.Tick(0);
  EXPECT_EQ(rig.melody.actions, std::vector<std::string>{"Stop"});
  EXPECT_FALSE(rig.melody.playing);
}

TEST(RemainingTime, NoMelodyWhenItsPathIsEmptyAndFailuresKeepTheLabel) {
  Ticking rig;
  rig.dialog().SetText(Ctl::edPlayMusic, "");
  rig.Tick(-600);
  rig.Tick(600);
  EXPECT_TRUE(rig.melody.actions.empty());
  EXPECT_EQ(rig.rest_time.label, "10" + strings::Cp1251(" мин."));

  rig.registry.SetString(kWinlogon, "LocalTimer", "oops");  // another type
  rig.screen.remaining_time().Tick();
  EXPECT_EQ(rig.rest_time.label, "10" + strings::Cp1251(" мин."));

  rig.dialog().SetText(Ctl::edPlayMusic, "C:\\missing.mid");
  rig.melody.unplayable = true;
  rig.Tick(-120);  // the label updates although the melody fails
  EXPECT_EQ(rig.rest_time.label, "-2" + strings::Cp1251(" мин."));
  rig.Tick(-180);  // and the next tick tries again
  EXPECT_EQ(rig.melody.actions.size(), 2u);
}

TEST(RemainingTime, TheToggleOnlyRemovesTheMarkOfAnOpenWindow) {
  Started rig;
  RemainingTime& rt = rig.screen.remaining_time();
  rt.Toggle();
  EXPECT_TRUE(rig.rest_time.visible);
  EXPECT_TRUE(rig.rest_time.timer);
  EXPECT_TRUE(rig.main.rest_time_checked);
  EXPECT_EQ(rig.rest_time.label, "");  // empty until the first tick

  rig.registry.SetDword(kWinlogon, "LocalTimer", 120);
  rt.Tick();
  rt.Toggle();  // the mark goes; the window stays open and ticking
  EXPECT_FALSE(rig.main.rest_time_checked);
  EXPECT_TRUE(rig.rest_time.visible);
  EXPECT_TRUE(rig.rest_time.timer);
  rt.Toggle();  // the mark is back and the label empties
  EXPECT_TRUE(rig.main.rest_time_checked);
  EXPECT_EQ(rig.rest_time.label, "");
  EXPECT_EQ(rig.rest_time.shows, 1);

  rt.Closed();
  rig.rest_time.visible = false;
  EXPECT_FALSE(rig.main.rest_time_checked);
  EXPECT_FALSE(rig.rest_time.timer);
  rt.Tick();  // nothing reads the time while hidden
  EXPECT_EQ(rig.rest_time.label, "");

  // A left double click brings two releases: the window opens and loses its
  // mark again.
  rt.Toggle();
  rt.Toggle();
  EXPECT_TRUE(rig.rest_time.visible);
  EXPECT_FALSE(rig.main.rest_time_checked);
  EXPECT_EQ(rig.rest_time.shows, 2);
}

}  // namespace
}  // namespace zalvo::lockscreen
