// The agent over a simulated station, driven over UDP: programs started and
// ended through the window list and the journal, the monitor and the mouse
// of an unrented station on the tick, the speakers in mixer.txt and the
// server's messages to the user at the console.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/e2e/sim_harness.h"
#include "tests/support/server_peer.h"
#include "text/cp1251.h"

namespace zalvo::testing {
namespace {

using Replies = std::vector<std::string>;

constexpr const char* kSettings =
    "ServerIP=127.0.0.1\r\nPlayGame=0\r\nFreeDisk=0\r\nSendDataTime=150\r\n";

class ProgramsOnSimStation : public ::testing::Test {
 protected:
  void Start(const std::string& settings, int tick_ms = 1000) {
    station.WriteSettings(settings);
    station.Start(tick_ms);
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("--- agent output ---\n%s\n", station.Output().c_str());
    }
    station.Stop();
  }
  // The journal events that start with the text.
  std::vector<std::string> Events(const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& e : station.JournalEvents()) {
      if (e.rfind(start, 0) == 0) {
        found.push_back(e);
      }
    }
    return found;
  }
  // Waits until the journal holds at least n events starting with the text.
  bool WaitForEvents(const std::string& start, size_t n) {
    for (int i = 0; i < 500; ++i) {
      if (Events(start).size() >= n) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string MixerLine(const std::string& key) {
    std::string file = "\n" + station.ReadStationFile("mixer.txt");
    size_t at = file.find("\n" + key + "=");
    if (at == std::string::npos) {
      return "(none)";
    }
    at += key.size() + 2;
    return file.substr(at, file.find('\n', at) - at);
  }

  SimHarness station;
};

TEST_F(ProgramsOnSimStation, ProcessListsTheWindowsAndKillEndsTheNamedOnesProcess) {
  ServerPeer server;
  station.WriteStationFile("windows.txt",
                           "100 1200 F Counter-Strike\n"
                           "101 1320 - Календар - Notepad\n"
                           "102 1320 - \n"
                           "103 1400 - say \"hi\"\n"
                           "104 1200 - Counter-Strike\n");
  Start(kSettings);
  ASSERT_TRUE(server.WaitForAgent());

  const std::string calendar = text::Utf8ToCp1251("Календар - NOTEPAD");
  EXPECT_EQ(
      server.Exchange("ACTION PROCESS"),
      (Replies{"PROCESS LIST:COUNTER-STRIKE,\"" + calendar + "\",\"SAY \"\"HI\"\"\",COUNTER-STRIKE",
               "PING"}));

  // The caption as the list gave it ends the process that owns the window.
  EXPECT_EQ(server.Exchange("ACTION KILL " + calendar), Replies{"PING"});
  EXPECT_EQ(Events("TerminateProcess"), Replies{"TerminateProcess 1320 exit code 0"});
  EXPECT_EQ(server.Exchange("ACTION PROCESS"),
            (Replies{"PROCESS LIST:COUNTER-STRIKE,\"SAY \"\"HI\"\"\",COUNTER-STRIKE", "PING"}));

  // A caption that names no window, or none at all: nothing is opened or ended.
  EXPECT_EQ(server.Exchange("ACTION KILL NOBODY"), Replies{"PING"});
  EXPECT_EQ(server.Exchange("ACTION KILL"), Replies{"PING"});
  EXPECT_EQ(Events("TerminateProcess").size(), 1u);
  EXPECT_EQ(Events("OpenProcess"), Replies{});

  // A list longer than one datagram is cut after the last whole entry.
  std::string many;
  for (int i = 0; i < 300; ++i) {
    many += std::to_string(1000 + i) + " " + std::to_string(5000 + i) + " - Window " +
            std::to_string(1000 + i) + "\n";
  }
  station.WriteStationFile("windows.txt", many);
  Replies replies = server.Exchange("ACTION PROCESS");
  ASSERT_EQ(replies.size(), 2u);
  const std::string& list = replies[0];
  EXPECT_LE(list.size(), 2048u);
  EXPECT_GT(list.size() + std::string(",\"WINDOW 1000\"").size(), 2048u);
  EXPECT_EQ(list.back(), '"');
  EXPECT_EQ(list.rfind("PROCESS LIST:\"WINDOW 1000\",\"WINDOW 1001\",", 0), 0u);
}

TEST_F(ProgramsOnSimStation, RunHandsTheWholeCommandLineToTheShell) {
  ServerPeer server;
  Start(kSettings);
  ASSERT_TRUE(server.WaitForAgent());

  // Far longer than 80 characters in every part: nothing is cut.
  std::string folder = "C:\\Games\\" + std::string(100, 'x') + "\\";
  std::string parameters = "-game cstrike " + std::string(100, 'p');
  EXPECT_EQ(server.Exchange("ACTION RUN " + folder + "hl.exe " + parameters), Replies{"PING"});
  EXPECT_EQ(server.Exchange("ACTION RUN notepad.exe"), Replies{"PING"});
  EXPECT_EQ(Events("ShellExecute"),
            (Replies{"ShellExecute file=\"" + folder + "hl.exe\" parameters=\"" + parameters +
                         "\" directory=\"" + folder + "\" show=5",
                     "ShellExecute file=\"notepad.exe\" parameters=\"\" directory=\"\" show=5"}));
}

TEST_F(ProgramsOnSimStation, AMessageIsShownToWhoeverIsAtTheConsoleAndABadOneToNobody) {
  ServerPeer server;
  station.WriteStationFile("console.txt", "user admin\n");
  Start(kSettings);
  ASSERT_TRUE(server.WaitForAgent());

  const std::string greeting = text::Utf8ToCp1251("Остават 5 минути: 0,50 лв.");
  EXPECT_EQ(server.Exchange("ACTION MESSAGE " + greeting), Replies{"PING"});
  EXPECT_EQ(Events("MessageWindow"),
            Replies{"MessageWindow \"Остават 5 минути: 0,50 лв.\" 30000 ms (topmost, not "
                    "activated)"});

  // Refused, and answered as every command: too long, a control character.
  EXPECT_EQ(server.Exchange("ACTION MESSAGE " + std::string(201, 'x')), Replies{"PING"});
  EXPECT_EQ(server.Exchange("ACTION MESSAGE one\r\nServerIP=10.0.0.1"), Replies{"PING"});
  // Nobody at the console: nothing to show it on.
  station.WriteStationFile("console.txt", "");
  EXPECT_EQ(server.Exchange("ACTION MESSAGE " + greeting), Replies{"PING"});
  EXPECT_EQ(Events("MessageWindow").size(), 1u);

  // Each line is logged before the command's "PING".
  const std::string log = station.Output();
  EXPECT_NE(log.find("message refused: a text of 201 bytes, longer than 200"), std::string::npos);
  EXPECT_NE(log.find("message refused: a control character (0x0D) at byte 4"), std::string::npos);
  EXPECT_NE(log.find("message not shown: nobody is logged on at the console"), std::string::npos);
}

TEST_F(ProgramsOnSimStation, AnUnrentedStationIsKeptDarkWithTheMouseParked) {
  ServerPeer server;
  Start(std::string(kSettings) + "ShutDownMonitor=1\r\nShutDownMouse=1\r\n", 10);
  ASSERT_TRUE(WaitForEvents("MonitorPower off (2)", 3));
  ASSERT_TRUE(server.WaitForAgent());
  server.Send("ACTION MONITOR ON");
  ASSERT_TRUE(WaitForEvents("MonitorPower on (-1)", 1));
  // Lit for less than a tick: the next tick darkens it again, then parks the mouse.
  size_t offs = Events("MonitorPower off").size();
  ASSERT_TRUE(WaitForEvents("MonitorPower off", offs + 2));
  std::vector<std::string> events = station.JournalEvents();
  auto on = std::find(events.begin(), events.end(), "MonitorPower on (-1)");
  ASSERT_NE(on, events.end());
  auto next_off = std::find(on, events.end(), "MonitorPower off (2)");
  ASSERT_NE(next_off, events.end());
  ASSERT_NE(next_off + 1, events.end());
  EXPECT_EQ(*(next_off + 1), "SetCursorPos 0 0");
}

TEST_F(ProgramsOnSimStation, AnOverrunSessionBeepsAtEveryCheckUntilItEnds) {
  ServerPeer server;
  Start(std::string(kSettings) + "Beep=1\r\nClosePasswordForm=5\r\n", 10);
  ASSERT_TRUE(server.WaitForAgent());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Events("MessageBeep").empty());  // no session, no beep
  // A session with no time left overruns at once and beeps at every check.
  EXPECT_EQ(server.Exchange("ACTION SIT 0"), Replies{"PING"});
  ASSERT_TRUE(WaitForEvents("MessageBeep 0", 4));
  EXPECT_EQ(server.Exchange("ACTION STAND"), Replies{"PING"});
  ASSERT_TRUE(WaitForEvents("LockWorkStation", 1));
  size_t beeps = Events("MessageBeep").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Events("MessageBeep").size(), beeps);  // the ended session is silent
}

TEST_F(ProgramsOnSimStation, VolumeCommandsSetTheSimulatedMixer) {
  ServerPeer server;
  station.WriteStationFile("mixer.txt", "volume=65535 65535\nmute=1\n");
  Start(kSettings);
  ASSERT_TRUE(server.WaitForAgent());
  // The start values: unmuted, volume 4 on both channels.
  EXPECT_EQ(MixerLine("volume"), "2621 2621");
  EXPECT_EQ(MixerLine("mute"), "0");

  EXPECT_EQ(server.Exchange("ACTION VOLUME 50"), Replies{"PING"});
  EXPECT_EQ(MixerLine("volume"), "32767 32767");
  EXPECT_EQ(MixerLine("mute"), "0");
  server.Exchange("ACTION VOLUME 0");
  EXPECT_EQ(MixerLine("volume"), "0 0");
  EXPECT_EQ(MixerLine("mute"), "1");
  server.Exchange("ACTION VOLUME 101");
  EXPECT_EQ(MixerLine("volume"), "0 0");
  EXPECT_EQ(MixerLine("mute"), "1");

  // A person turns the speakers up by hand; an out-of-range command unmutes.
  station.WriteStationFile("mixer.txt", "volume=30000 20000\nmute=1\n");
  EXPECT_EQ(server.Exchange("ACTION VOLUME -5"), Replies{"PING"});
  EXPECT_EQ(MixerLine("volume"), "30000 20000");
  EXPECT_EQ(MixerLine("mute"), "0");
  // A level a person broke can't be read back: the action ends there, the
  // datagram is still answered.
  station.WriteStationFile("mixer.txt", "volume=loud\nmute=1\n");
  EXPECT_EQ(server.Exchange("ACTION VOLUME 101"), Replies{"PING"});
  EXPECT_EQ(station.ReadStationFile("mixer.txt"), "volume=loud\nmute=1\n");
}

TEST_F(ProgramsOnSimStation, MissingSpeakerControlsAreLeftAlone) {
  ServerPeer server;
  station.WriteStationFile("mixer.txt", "# speakers without a mute control\nvolume=0 0\n");
  Start(kSettings);
  ASSERT_TRUE(server.WaitForAgent());
  EXPECT_EQ(server.Exchange("ACTION VOLUME 0"), Replies{"PING"});
  EXPECT_EQ(station.ReadStationFile("mixer.txt"),
            "# speakers without a mute control\nvolume=0 0\n");
  EXPECT_EQ(Events("MixerMute"), Replies{});
  station.Stop();
  size_t volume_writes = Events("MixerVolume").size();

  std::filesystem::remove(station.root() / "mixer.txt");
  station.Start(1000);
  ASSERT_TRUE(server.WaitForAgent());
  EXPECT_EQ(server.Exchange("ACTION VOLUME 50"), Replies{"PING"});
  EXPECT_FALSE(std::filesystem::exists(station.root() / "mixer.txt"));
  EXPECT_EQ(Events("MixerVolume").size(), volume_writes);
}

}  // namespace
}  // namespace zalvo::testing
