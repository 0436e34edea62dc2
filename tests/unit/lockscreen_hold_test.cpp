// The lock that holds: the cover's arithmetic and keys, the hold and the Task
// Manager policy while locked, a lock screen ended while locked and started
// again, and what a standard account (a registry it may mostly only read)
// still gets and is told.
#include <gtest/gtest.h>

#include "lockscreen/cover.h"
#include "lockscreen/strings.h"
#include "tests/unit/lockscreen_fakes.h"

namespace zalvo::lockscreen {
namespace {

using testing::AdminRightsNeeded;
using testing::FakeDialogView;
using testing::FakeMainView;
using testing::FakeMelody;
using testing::FakeRestTimeView;
using testing::kSettingsPath;
using testing::kSystemPolicies;
using testing::kWinlogon;
using testing::LockScreenRig;

TEST(Cover, SpansEveryMonitorAndPlacesThePrimaryOneInIt) {
  const ScreenRect primary{0, 0, 1920, 1080};
  // A smaller monitor left of the primary one, lower down.
  CoverLayout two = CoverFor({primary, {-1280, 200, 0, 1224}}, primary);
  EXPECT_EQ(two.window, (ScreenRect{-1280, 0, 1920, 1224}));
  EXPECT_EQ(two.primary, (ScreenRect{1280, 0, 3200, 1080}));
  EXPECT_EQ(two.monitors, (std::vector<ScreenRect>{{1280, 0, 3200, 1080}, {0, 200, 1280, 1224}}));
  // The system listed none: the primary monitor alone.
  CoverLayout none = CoverFor({}, {0, 0, 1024, 768});
  EXPECT_EQ(none.window, (ScreenRect{0, 0, 1024, 768}));
  EXPECT_EQ(none.monitors, std::vector<ScreenRect>{none.primary});
}

TEST(Cover, TheKeyboardFilterSwallowsTheTaskSwitchKeysOnly) {
  const uint32_t a = 'A';
  struct Case {
    KeyStroke key;
    bool swallowed;
  } cases[] = {
      {{kVkLeftWindows, false, false}, true},
      {{kVkRightWindows, false, true}, true},
      {{kVkEscape, false, true}, true},
      {{kVkTab, true, false}, true},
      {{kVkEscape, true, false}, true},
      {{kVkF4, true, false}, true},
      {{kVkEscape, false, false}, false},
      {{kVkTab, false, false}, false},
      {{kVkF4, false, false}, false},
      {{a, true, false}, false},
      {{a, false, true}, false},
      {{0x0D, false, false}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SwallowWhileLocked(c.key), c.swallowed)
        << c.key.virtual_key << " alt " << c.key.alt_down << " ctrl " << c.key.ctrl_down;
  }
}

struct Started : LockScreenRig {
  Started() {
    files.files[kSettingsPath] = "Hide=1\r\n";
    registry.AddKey(kSystemPolicies);
    screen.Start();
    screen.memory().admin_password = "admin";
  }
  std::optional<uint32_t> TaskManager() const {
    return registry.Dword(kSystemPolicies, "DisableTaskMgr");
  }
};

TEST(LockHold, HoldsTheScreenAndTakesTaskManagerAwayExactlyWhileLocked) {
  Started rig;
  rig.registry.SetDword(kSystemPolicies, "DisableTaskMgr", 1);  // the club's own policy
  rig.screen.Lock();
  EXPECT_TRUE(rig.main.held);
  rig.screen.Lock();  // locking again keeps what the first lock found
  rig.screen.Unlock();
  EXPECT_FALSE(rig.main.held);
  EXPECT_EQ(rig.TaskManager(), 1u);

  Started plain;
  plain.screen.Lock();
  EXPECT_EQ(plain.TaskManager(), 1u);
  plain.main.filter_refused = true;
  plain.screen.Lock();
  EXPECT_EQ(plain.log.back(),
            "keyboard filter not installed: the Windows keys and Alt+Tab reach the desktop");

  // The administrator's log-in releases everything before the dialog shows,
  // and nothing locks while it is open.
  plain.dialog_view.while_shown = [&] {
    EXPECT_FALSE(plain.main.held);
    EXPECT_EQ(plain.TaskManager(), 0u);  // the account had none: enabled
    plain.screen.Lock();
    EXPECT_FALSE(plain.main.held);
    EXPECT_EQ(plain.TaskManager(), 0u);
    EXPECT_FALSE(plain.lock_state.state.locked);
  };
  plain.screen.Login("", "admin");
  EXPECT_EQ(plain.dialog_view.shown_sizes.size(), 1u);
  // An unlock while not locked leaves the account's policy alone.
  plain.registry.SetDword(kSystemPolicies, "DisableTaskMgr", 1);
  plain.screen.Unlock();
  EXPECT_EQ(plain.TaskManager(), 1u);
}

// A second lock screen over the same station and log-on: the first one was
// ended (from Task Manager) or crashed.
struct Restarted {
  FakeMainView main;
  FakeDialogView dialog_view;
  FakeRestTimeView rest_time;
  FakeMelody melody;
  LockScreen screen;
  explicit Restarted(LockScreenRig& first)
      : screen({first.registry, first.files, first.desktop, first.lock_state},
               {main, dialog_view, rest_time, melody}) {
    screen.Start();
  }
};

TEST(LockHold, ALockScreenEndedWhileLockedComesBackLockedInTheSameLogOnOnly) {
  Started rig;
  rig.screen.Lock();
  // The agent starts a session meanwhile: the station stays locked.
  rig.registry.SetString(kWinlogon, "AutoAdminLogon", "1");
  rig.registry.SetDword(kWinlogon, "LocalTimer", 3600);
  Restarted again(rig);
  EXPECT_TRUE(again.main.covering);
  EXPECT_TRUE(again.main.held);
  EXPECT_FALSE(again.main.unlocked_controls);
  EXPECT_EQ(rig.AutoAdminLogon(), "0");
  EXPECT_EQ(rig.TaskManager(), 1u);
  // Its unlock puts back what the account had before the first lock.
  again.screen.Login("1", std::string(kDefaultSmallPassword));
  EXPECT_FALSE(again.main.held);
  EXPECT_EQ(rig.TaskManager(), 0u);
  EXPECT_EQ(rig.AutoAdminLogon(), "1");

  // Ended while unlocked: back unlocked.
  Restarted unlocked(rig);
  EXPECT_FALSE(unlocked.main.visible);
  EXPECT_FALSE(unlocked.main.held);

  // Ended while locked, then a new log-on (the agent restarts Windows for
  // the next session): it starts unlocked, and the policy the lock left
  // behind goes.
  unlocked.screen.Lock();
  rig.lock_state.NewLogOn();
  Restarted next_session(rig);
  EXPECT_FALSE(next_session.main.visible);
  EXPECT_FALSE(next_session.main.held);
  EXPECT_EQ(rig.TaskManager(), 0u);
  EXPECT_EQ(rig.lock_state.state, LockState{});
}

TEST(LockHold, TheServicesLockOrderLocksOnceLeavesTaskManagerAloneAndClosesAreRefusedMeanwhile) {
  Started rig;
  rig.registry.SetDword(kSystemPolicies, "DisableTaskMgr", 1);  // the service's hold
  EXPECT_TRUE(rig.screen.CloseAllowed());
  rig.screen.LockAtServiceWord();
  EXPECT_TRUE(rig.main.covering);
  EXPECT_TRUE(rig.main.held);
  EXPECT_EQ(rig.AutoAdminLogon(), "0");
  EXPECT_EQ(rig.lock_state.state, (LockState{true, false, std::nullopt}));
  EXPECT_EQ(rig.log.back(), "locked at the service's word: no session runs");
  // The order comes every tick: showing the lock, nothing more is done.
  rig.main.actions.clear();
  rig.log.clear();
  rig.screen.LockAtServiceWord();
  EXPECT_TRUE(rig.main.actions.empty());
  EXPECT_TRUE(rig.log.empty());
  // Another program's close is refused while locked.
  EXPECT_FALSE(rig.screen.CloseAllowed());
  EXPECT_EQ(rig.log,
            std::vector<std::string>{"a request to close the locked lock screen was refused"});

  // Ended and started again: locked the same way; its unlock leaves the
  // service's policy to the service and forgets the lock.
  Restarted again(rig);
  EXPECT_TRUE(again.main.held);
  EXPECT_FALSE(rig.lock_state.state.task_manager_held);
  again.screen.Login("1", std::string(kDefaultSmallPassword));
  EXPECT_FALSE(again.main.held);
  EXPECT_TRUE(again.screen.CloseAllowed());
  EXPECT_EQ(rig.TaskManager(), 1u);
  EXPECT_EQ(rig.lock_state.state, LockState{});

  // While the administrator's settings dialog is open the order waits.
  again.dialog_view.while_shown = [&] {
    again.screen.LockAtServiceWord();
    EXPECT_FALSE(again.main.held);
  };
  again.screen.Login("", std::string(kDefaultAdminPassword));
  ASSERT_EQ(again.dialog_view.shown_sizes.size(), 1u);
  again.screen.LockAtServiceWord();
  EXPECT_TRUE(again.main.held);
}

TEST(LockHold, TheSettingsDialogHoldsTheServicesOrderOffForTenMinutesAtMostThenClosesUnsaved) {
  Started rig;
  using std::chrono::seconds;
  // The administrator edits and does not save; the order comes every second.
  std::vector<int> warned_at;
  std::optional<int> closed_at;
  rig.dialog_view.while_shown = [&] {
    rig.dialog().SetText(Ctl::edServerIP, "10.9.9.9");
    for (int second = 0; second <= 700 && rig.dialog_view.visible; ++second) {
      rig.now = std::chrono::steady_clock::time_point(seconds(second));
      const size_t warnings = rig.dialog_view.warnings.size();
      rig.screen.LockAtServiceWord();
      if (rig.dialog_view.warnings.size() > warnings) {
        warned_at.push_back(second);
      }
      if (!rig.dialog_view.visible) {
        closed_at = second;
      } else {
        EXPECT_FALSE(rig.main.held) << second;
      }
    }
  };
  rig.screen.Login("", "admin");
  EXPECT_EQ(warned_at, std::vector<int>{540});
  EXPECT_EQ(rig.dialog_view.warnings,
            std::vector<std::string>{strings::Cp1251(strings::kDialogClosesSoon)});
  EXPECT_EQ(closed_at, 600);
  EXPECT_TRUE(rig.main.held);
  EXPECT_TRUE(rig.lock_state.state.locked);
  // Closed without saving: the lock's load put the saved settings back.
  EXPECT_EQ(rig.dialog().Text(Ctl::edServerIP), "");
  EXPECT_EQ(rig.files.files[kSettingsPath], "Hide=1\r\n");
  EXPECT_EQ(rig.log, (std::vector<std::string>{
                         "the service's lock order waits for the open settings dialog, 10 "
                         "minutes at most",
                         "the settings dialog closes in a minute at the service's lock order: "
                         "warned",
                         "the settings dialog was open 10 minutes while no session runs: closed "
                         "without saving",
                         "locked at the service's word: no session runs"}));

  // A dialog closed in time ends the hold: the next opening has its ten
  // minutes afresh.
  rig.dialog_view.while_shown = [&] {
    rig.now += seconds(300);
    rig.screen.LockAtServiceWord();
  };
  rig.screen.Login("", "admin");
  rig.screen.LockAtServiceWord();
  EXPECT_TRUE(rig.main.held);
  rig.log.clear();
  rig.dialog_view.while_shown = [&] {
    rig.screen.LockAtServiceWord();
    rig.now += seconds(599);
    rig.screen.LockAtServiceWord();
    EXPECT_TRUE(rig.dialog_view.visible);
  };
  rig.screen.Login("", "admin");
  EXPECT_EQ(rig.log, (std::vector<std::string>{
                         "the service's lock order waits for the open settings dialog, 10 "
                         "minutes at most",
                         "the settings dialog closes in a minute at the service's lock order: "
                         "warned"}));
}

TEST(LeastAccess, AStandardAccountSeesTheTimeAndIsToldWhatNeedsAnAdministrator) {
  LockScreenRig rig;
  rig.files.files[kSettingsPath] = "Hide=1\r\nPlayMusic=\r\n";
  rig.registry.AddKey(kSystemPolicies);
  rig.registry.AddKey("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Network");
  rig.registry.SetDword(kWinlogon, "LocalTimer", 1800);
  // What a standard account may do: read the machine's keys and its own
  // policies, write the rest of its own hive; not the Windows folder.
  rig.registry.ReadOnly("HKLM");
  rig.registry.ReadOnly("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies");
  rig.files.refuse_writes = true;
  rig.screen.Start();
  const std::string admin = " may only be read by this account (administrator rights needed)";
  EXPECT_EQ(rig.log.at(0), "AutoAdminLogon \"1\" not written: HKEY_LOCAL_MACHINE\\" +
                               std::string(settings::kWinlogonKey) + admin);

  RemainingTime& time = rig.screen.remaining_time();
  time.Toggle();
  time.Tick();
  EXPECT_EQ(rig.rest_time.label, "30" + strings::Cp1251(" мин."));

  rig.log.clear();
  rig.screen.Lock();
  EXPECT_TRUE(rig.main.held);  // the lock holds all the same
  EXPECT_EQ(rig.log,
            (std::vector<std::string>{"DisableTaskMgr 1 not written: HKEY_CURRENT_USER\\" +
                                          std::string(settings::kSystemPoliciesKey) + admin,
                                      "AutoAdminLogon \"0\" not written: HKEY_LOCAL_MACHINE\\" +
                                          std::string(settings::kWinlogonKey) + admin}));

  // The save: the refused policy and the Windows folder, in one message.
  rig.screen.Unlock();
  rig.screen.SaveSettings();
  ASSERT_EQ(rig.main.errors.size(), 1u);
  EXPECT_EQ(rig.main.errors[0],
            AdminRightsNeeded("HKEY_CURRENT_USER\\" + std::string(settings::kSystemPoliciesKey) +
                              " can't be opened for writing\r\nAccess is denied"));

  // No operation asked for more than it does.
  for (const std::string& open : rig.registry.opens()) {
    EXPECT_EQ(open.find(" full"), std::string::npos) << open;
  }
}

}  // namespace
}  // namespace zalvo::lockscreen
