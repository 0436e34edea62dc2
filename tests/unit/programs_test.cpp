// Starting programs, listing the windows and ending a window's process, over
// the recording desktop; and the "PROCESS LIST:" reply built from the list.
#include <gtest/gtest.h>

#include "agent/command_dispatcher.h"
#include "agent/programs.h"
#include "agent/station_actions.h"
#include "platform/error.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_registry.h"

namespace zalvo::agent {
namespace {

using testing::FakeDesktop;
using Lines = std::vector<std::string>;

TEST(SplitCommandLine, CutsAtTheFirstBlankAndTakesTheDirectoryUpToTheLastSeparator) {
  EXPECT_EQ(SplitCommandLine("C:\\Games\\cs.exe"),
            (LaunchRequest{"C:\\Games\\cs.exe", "", "C:\\Games\\"}));
  // Everything after the first blank, inner blanks included, is the parameters.
  EXPECT_EQ(SplitCommandLine("C:\\Games\\cs.exe -game cstrike"),
            (LaunchRequest{"C:\\Games\\cs.exe", "-game cstrike", "C:\\Games\\"}));
  EXPECT_EQ(SplitCommandLine("C:\\Program Files\\x.exe /s"),
            (LaunchRequest{"C:\\Program", "Files\\x.exe /s", "C:\\"}));
  EXPECT_EQ(SplitCommandLine("notepad.exe readme.txt"),
            (LaunchRequest{"notepad.exe", "readme.txt", ""}));
  EXPECT_EQ(SplitCommandLine("D:setup.exe"), (LaunchRequest{"D:setup.exe", "", "D:"}));
  // A colon after the last backslash still ends the directory there.
  EXPECT_EQ(SplitCommandLine("C:\\a\\b:c.exe"), (LaunchRequest{"C:\\a\\b:c.exe", "", "C:\\a\\b:"}));
  EXPECT_EQ(SplitCommandLine("prog.exe "), (LaunchRequest{"prog.exe", "", ""}));
  EXPECT_EQ(SplitCommandLine(""), (LaunchRequest{}));
  EXPECT_EQ(SplitCommandLine(" x"), (LaunchRequest{"", "x", ""}));
}

TEST(Programs, RunPassesTheWholeTextsToTheShellShownNormally) {
  FakeDesktop desktop;
  Programs programs(desktop, desktop);
  std::string folder = "C:\\" + std::string(120, 'd') + "\\";
  std::string parameters = std::string(150, 'p') + " " + std::string(90, 'q');
  programs.Run(folder + "game.exe " + parameters);
  programs.Run("\xCA\xEB\xF3\xE1\\\xE8\xE3\xF0\xE0.exe");  // Cyrillic folder and file
  // Nothing to start: the shell is not asked.
  programs.Run("");
  programs.Run(" -silent");
  EXPECT_EQ(desktop.actions,
            (Lines{"ShellOpen " + folder + "game.exe|" + parameters + "|" + folder + "|5",
                   "ShellOpen \xCA\xEB\xF3\xE1\\\xE8\xE3\xF0\xE0.exe||\xCA\xEB\xF3\xE1\\|5"}));
}

TEST(Programs, ListsCaptionsUpperCasedInLatinOnlyAndTheReplyQuotesWhatNeedsIt) {
  FakeDesktop desktop;
  desktop.windows = {{10, 100, "notepad"},
                     {11, 100, ""},  // no caption: not listed
                     {12, 200, "Half-Life"},
                     {13, 300, "\xCA\xE0\xEb\xe5\xed\xe4\xe0\xf0 - calc"},  // "Календар - calc"
                     {14, 400, "say \"hi\""},
                     {15, 500, "a,b"},
                     {16, 600, "tab\there"},
                     {17, 700, "notepad"}};
  Programs programs(desktop, desktop);
  std::vector<std::string> list{"STALE"};
  programs.ListWindows(list);
  EXPECT_EQ(list, (Lines{"NOTEPAD", "HALF-LIFE", "\xCA\xE0\xEb\xe5\xed\xe4\xe0\xf0 - CALC",
                         "SAY \"HI\"", "A,B", "TAB\tHERE", "NOTEPAD"}));
  EXPECT_EQ(ProcessListReply(list),
            "PROCESS LIST:NOTEPAD,HALF-LIFE,\"\xCA\xE0\xEb\xe5\xed\xe4\xe0\xf0 - CALC\","
            "\"SAY \"\"HI\"\"\",\"A,B\",\"TAB\tHERE\",NOTEPAD");

  desktop.windows = {{11, 100, ""}};
  programs.ListWindows(list);
  EXPECT_EQ(ProcessListReply(list), "PROCESS LIST:");
}

TEST(Programs, KillEndsTheProcessOfTheNamedWindowThenRelists) {
  FakeDesktop desktop;
  desktop.windows = {{10, 100, "Notepad"}, {11, 100, "Notepad - Help"}, {12, 200, "Game"}};
  Programs programs(desktop, desktop);
  std::vector<std::string> list;

  // Captions come back from the list upper-cased; windows are found regardless of case.
  programs.KillWindow("NOTEPAD", list);
  EXPECT_EQ(desktop.actions, Lines{"TerminateProcess 100 0"});
  EXPECT_EQ(list, Lines{"GAME"});

  // No such window: nothing is opened or terminated, the list is still rebuilt.
  desktop.actions.clear();
  list = {"STALE"};
  programs.KillWindow("NO SUCH WINDOW", list);
  EXPECT_EQ(desktop.actions, Lines{});
  EXPECT_EQ(list, Lines{"GAME"});

  // A window whose process can't be told is not a process to open.
  desktop.windows.push_back({13, 0, "Orphan"});
  programs.KillWindow("ORPHAN", list);
  EXPECT_EQ(desktop.actions, Lines{});

  // Nothing named: nothing at all happens, not even the listing.
  list = {"STALE"};
  programs.KillWindow("", list);
  EXPECT_EQ(desktop.actions, Lines{});
  EXPECT_EQ(list, Lines{"STALE"});
}

// A station whose Windows directory holds no settings file.
class NoSettingsFile final : public platform::StationFiles {
 public:
  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  std::string Read(std::string_view path) override {
    throw platform::PlatformError("no file " + std::string(path));
  }
  void Replace(std::string_view, std::string_view) override {}
  bool Remove(std::string_view) override { return false; }
};

class NoReplies final : public Replies {
 public:
  void SendText(const ReplyContext&, const std::string&) override {}
};

TEST(StationOnTheTick, DarkensAndParksWhileUnrentedAndBeepsOnceASessionHasOverrun) {
  AgentState state;
  NoReplies replies;
  testing::MemoryRegistry registry;
  NoSettingsFile files;
  FakeDesktop desktop;
  StationActions station(state, replies, {registry, files, desktop});
  CommandDispatcher agent(state, station, replies);
  agent.Startup();
  state.check_period = 2;
  state.settings.SetFlag(settings::Key::ShutDownMonitor, true);
  state.settings.SetFlag(settings::Key::ShutDownMouse, true);
  state.settings.SetFlag(settings::Key::Beep, true);

  agent.Tick({});
  agent.Tick({});
  EXPECT_EQ(desktop.actions,
            (Lines{"MonitorPower 2", "SetCursorPos 0 0", "MonitorPower 2", "SetCursorPos 0 0"}));

  // A session 1 second from its end: the checks at even counters beep once it is overrun.
  desktop.actions.clear();
  state.session_active = true;
  state.remaining_seconds = 1;
  for (int i = 0; i < 5; ++i) {
    agent.Tick({});
  }
  EXPECT_EQ(desktop.actions, (Lines{"MessageBeep 0", "MessageBeep 0"}));
}

}  // namespace
}  // namespace zalvo::agent
