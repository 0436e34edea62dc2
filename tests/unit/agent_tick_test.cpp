// The tick: the 1..99 counter, what each tick calls under which gates, and
// that a failing action never stops the loop.
#include <gtest/gtest.h>

#include <map>

#include "agent/command_dispatcher.h"
#include "tests/support/recording_actions.h"

namespace zalvo::agent {
namespace {

using settings::Key;
using testing::RecordingActions;

class Tick : public ::testing::Test {
 protected:
  Tick() : actions(state), agent(state, actions, actions) {}

  // Starts the worker with the given periods and runs n ticks; returns the
  // tick numbers (1-based) at which each action ran.
  std::map<std::string, std::vector<int>> Run(int n) {
    std::map<std::string, std::vector<int>> when;
    for (int i = 1; i <= n; ++i) {
      actions.calls.clear();
      agent.Tick({});
      for (const std::string& call : actions.calls) {
        when[call].push_back(i);
      }
    }
    return when;
  }
  void Start(int32_t check, int32_t report) {
    agent.Startup();
    state.check_period = check;
    state.report_period = report;
  }

  AgentState state;
  RecordingActions actions;
  CommandDispatcher agent;
};

TEST_F(Tick, StartupLoadsTheSettingsWithTheCounterAtOneAndTheCheckPeriodTen) {
  actions.failing = {"LoadSettings"};  // an unreadable file at start changes nothing
  agent.Startup();
  EXPECT_EQ(state.tick_counter, 1);
  EXPECT_EQ(state.check_period, 10);
  EXPECT_EQ(state.report_period, 0);
  EXPECT_EQ(actions.calls, std::vector<std::string>{"LoadSettings"});
}

TEST_F(Tick, KeepAliveEveryNinetyNineTicksAndReportsFromTickFiftyNine) {
  Start(10, 60);
  auto when = Run(300);
  EXPECT_EQ(when["SendPing"], (std::vector<int>{99, 198, 297}));
  EXPECT_EQ(when["SendInfo"], (std::vector<int>{59, 158, 257}));
  EXPECT_EQ(state.remaining_seconds, -300);
}

TEST_F(Tick, ChecksComeAtCounterValuesTenToNinety) {
  Start(10, 0);
  state.session_active = true;
  state.settings.SetFlag(Key::Beep, true);
  auto when = Run(120);
  // Counter 10 is reached at tick 9, ... 90 at tick 89; after the reset at
  // tick 99 the counter is 1 again, so the next check is at tick 108.
  EXPECT_EQ(when["ExpiryBeep"], (std::vector<int>{9, 19, 29, 39, 49, 59, 69, 79, 89, 108, 118}));
}

TEST_F(Tick, PeriodsOfZeroOrOneHundredAndMoreNeverFireAndOneFiresEveryTick) {
  state.settings.SetFlag(Key::Beep, true);
  state.session_active = true;
  Start(0, 100);
  auto never = Run(250);
  EXPECT_TRUE(never["ExpiryBeep"].empty());
  EXPECT_TRUE(never["SendInfo"].empty());
  EXPECT_EQ(never["SendPing"].size(), 2u);
  Start(1, 150);
  auto every = Run(20);
  EXPECT_EQ(every["ExpiryBeep"].size(), 20u);
  EXPECT_TRUE(every["SendInfo"].empty());
}

TEST_F(Tick, BeepNeedsTheSettingAnOverrunAndASession) {
  Start(1, 0);
  state.remaining_seconds = 2;
  state.session_active = true;
  EXPECT_TRUE(Run(2)["ExpiryBeep"].empty());  // 1, 0: not yet overrun
  state.settings.SetFlag(Key::Beep, true);
  EXPECT_EQ(Run(2)["ExpiryBeep"].size(), 2u);  // -1, -2
  state.session_active = false;
  EXPECT_TRUE(Run(2)["ExpiryBeep"].empty());
}

TEST_F(Tick, AutomaticEndAfterTheGraceWhileTheSettingIsOn) {
  Start(1, 0);
  state.grace_seconds = 3;
  state.remaining_seconds = 0;
  EXPECT_TRUE(Run(5)["EndSession"].empty());  // setting off
  state.settings.SetFlag(Key::AutoShutDown, true);
  state.remaining_seconds = 0;
  // -1, -2, -3 are not below -3; -4 and -5 are, and it repeats at every check.
  EXPECT_EQ(Run(5)["EndSession"], (std::vector<int>{4, 5}));
  // No session is needed. The extremes compare without overflow: the time
  // wraps from the lowest value to the highest, and a grace of INT32_MIN is
  // 2^31 seconds.
  state.session_active = false;
  state.grace_seconds = INT32_MIN;
  state.remaining_seconds = INT32_MIN + 1;
  EXPECT_EQ(Run(2)["EndSession"].size(), 2u);
  EXPECT_EQ(state.remaining_seconds, INT32_MAX);
}

TEST_F(Tick, AnIdleStationGoesDarkAndParksTheMouseOnEveryTick) {
  Start(10, 0);
  state.settings.SetFlag(Key::ShutDownMonitor, true);
  state.settings.SetFlag(Key::ShutDownMouse, true);
  actions.calls.clear();
  agent.Tick({});
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"MonitorOff", "ParkMouse"}));
  auto when = Run(3);
  EXPECT_EQ(when["MonitorOff"].size(), 3u);
  state.session_active = true;
  auto rented = Run(3);
  EXPECT_TRUE(rented["MonitorOff"].empty());
  EXPECT_TRUE(rented["ParkMouse"].empty());
}

TEST_F(Tick, AFailingActionEndsOnlyThatAction) {
  Start(1, 1);
  state.session_active = false;
  state.remaining_seconds = -10000;
  state.grace_seconds = 1;
  state.settings.SetFlag(Key::AutoShutDown, true);
  state.settings.SetFlag(Key::ShutDownMonitor, true);
  actions.failing = {"EndSession", "SendInfo"};
  actions.calls.clear();
  agent.Tick({});
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"EndSession", "SendInfo", "MonitorOff"}));
  EXPECT_EQ(state.tick_counter, 2);
}

}  // namespace
}  // namespace zalvo::agent
