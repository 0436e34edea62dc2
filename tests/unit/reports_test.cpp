// Status reports: the exact texts and their order, the change rule of the
// caption, the no-caption text, the privileges asked for first, and the free
// space in whole MiB.
#include <gtest/gtest.h>

#include "agent/reports.h"
#include "tests/support/fake_desktop.h"

namespace zalvo::agent {
namespace {

using settings::Key;
using Lines = std::vector<std::string>;

struct RecordedReplies final : Replies {
  void SendText(const ReplyContext&, const std::string& text) override { sent.push_back(text); }
  Lines sent;
};

class ReportsTest : public ::testing::Test {
 protected:
  ReportsTest() : reports(state, replies, desktop, desktop) {
    state.settings = settings::StationSettings();
  }
  Lines Info() {
    replies.sent.clear();
    reports.SendInfo({});
    return replies.sent;
  }
  void Show(platform::WindowHandle handle, const std::string& caption) {
    desktop.windows = {{handle, 100, caption}};
    desktop.foreground = handle;
  }

  AgentState state;
  RecordedReplies replies;
  testing::FakeDesktop desktop;
  Reports reports;
};

TEST_F(ReportsTest, PingAndNothingElseWhenBothReportsAreOff) {
  reports.SendPing({});
  EXPECT_EQ(replies.sent, Lines{"PING"});
  Show(5, "Game");
  EXPECT_EQ(Info(), Lines{});
  EXPECT_TRUE(desktop.privilege_requests.empty());
}

TEST_F(ReportsTest, FreeSpaceIsInWholeMebibytesAfterTwoBlanks) {
  state.settings.SetFlag(Key::FreeDisk, true);
  desktop.free_bytes = uint64_t{5} * 1024 * 1048576 + 1048575;
  EXPECT_EQ(Info(), Lines{"INFO  c:5120MB"});
  desktop.free_bytes = 1048575;
  EXPECT_EQ(Info(), Lines{"INFO  c:0MB"});
  desktop.free_bytes = uint64_t{1} << 50;  // beyond 32 bits
  EXPECT_EQ(Info(), Lines{"INFO  c:1073741824MB"});
  desktop.free_bytes = std::nullopt;  // unreadable
  EXPECT_EQ(Info(), Lines{"INFO  c:0MB"});
}

TEST_F(ReportsTest, TheFirstReportWithNoForegroundWindowIsOnlyTheNoCaptionText) {
  state.settings = settings::StationSettings::AgentInitial();  // PlayGame on
  EXPECT_EQ(Info(), Lines{"PLAYGAME=0:0"});
  EXPECT_EQ(desktop.privilege_requests,
            (Lines{"SeSecurityPrivilege", "SeSystemEnvironmentPrivilege", "SeShutdownPrivilege"}));
  EXPECT_EQ(Info(), Lines{"PLAYGAME=0:0"});  // at every report while it lasts
}

TEST_F(ReportsTest, ACaptionIsReportedOnceWithOnlyLatinLettersUpperCased) {
  state.settings.SetFlag(Key::PlayGame, true);
  state.settings.SetFlag(Key::FreeDisk, true);
  desktop.free_bytes = uint64_t{7} * 1048576;
  // "Cs 1.6 - Клуб" in Windows-1251: the Cyrillic bytes stay as they are.
  const std::string caption = "Cs 1.6 - \xCA\xEB\xF3\xE1 \xE0z";
  Show(66, caption);
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=CS 1.6 - \xCA\xEB\xF3\xE1 \xE0Z", "INFO  c:7MB"}));
  EXPECT_EQ(state.last_caption, caption);  // remembered before upper-casing
  EXPECT_EQ(Info(), Lines{"INFO  c:7MB"});

  // Only the case differs: that is a change.
  Show(66, "CS 1.6 - \xCA\xEB\xF3\xE1 \xE0z");
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=CS 1.6 - \xCA\xEB\xF3\xE1 \xE0Z", "INFO  c:7MB"}));

  // From a captioned window to one without: the empty caption is a change,
  // then the handle follows, and only the handle afterwards.
  Show(4242, "");
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=", "PLAYGAME=0:4242", "INFO  c:7MB"}));
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=0:4242", "INFO  c:7MB"}));
  desktop.foreground = 0;
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=0:0", "INFO  c:7MB"}));
}

TEST_F(ReportsTest, TheLastCaptionIsSharedByEveryReport) {
  state.settings.SetFlag(Key::PlayGame, true);
  Show(9, "Quake");
  state.last_caption = "Quake";  // reported by the tick a moment ago
  EXPECT_EQ(Info(), Lines{});
  Show(9, "Doom");
  EXPECT_EQ(Info(), Lines{"PLAYGAME=DOOM"});
}

TEST_F(ReportsTest, AMissingPrivilegeDropsTheForegroundPartButNotTheDisk) {
  state.settings.SetFlag(Key::PlayGame, true);
  state.settings.SetFlag(Key::FreeDisk, true);
  desktop.free_bytes = uint64_t{2} * 1048576;
  Show(3, "Game");
  desktop.privileges = std::set<std::string>{"SeSecurityPrivilege", "SeShutdownPrivilege"};
  EXPECT_EQ(Info(), Lines{"INFO  c:2MB"});
  // Asked in order, stopping at the first one refused.
  EXPECT_EQ(desktop.privilege_requests,
            (Lines{"SeSecurityPrivilege", "SeSystemEnvironmentPrivilege"}));
  EXPECT_TRUE(state.last_caption.empty());  // nothing was read

  desktop.privilege_requests.clear();
  desktop.privileges = std::set<std::string>{};
  EXPECT_EQ(Info(), Lines{"INFO  c:2MB"});
  EXPECT_EQ(desktop.privilege_requests, Lines{"SeSecurityPrivilege"});

  desktop.privileges = std::nullopt;
  EXPECT_EQ(Info(), (Lines{"PLAYGAME=GAME", "INFO  c:2MB"}));
}

}  // namespace
}  // namespace zalvo::agent
