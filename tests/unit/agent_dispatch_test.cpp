// The dispatcher: the command table in its order, the field rules, the
// failure guard and the closing "PING".
#include <gtest/gtest.h>

#include "agent/command.h"
#include "agent/command_dispatcher.h"
#include "protocol/commands.h"
#include "tests/support/recording_actions.h"

namespace zalvo::agent {
namespace {

using settings::Key;
using testing::RecordingActions;
using Calls = std::vector<std::string>;

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() : actions(state), agent(state, actions, actions) {
    state.settings.SetText(Key::ServerIP, "192.168.0.10");
  }
  Calls Receive(const std::string& text) {
    actions.calls.clear();
    agent.DataReceived(text, ReplyTo("192.168.0.10"));
    return actions.calls;
  }
  AgentState state;
  RecordingActions actions;
  CommandDispatcher agent;
};

TEST_F(Dispatch, EveryAcceptedTextIsAnsweredWithPingAfterItsReplies) {
  EXPECT_EQ(Receive("hello"), Calls{"SendPing"});
  EXPECT_EQ(Receive("action sit 30"), Calls{"SendPing"});
  EXPECT_EQ(Receive("ACTION STAND "), Calls{"SendPing"});  // exact keywords take no blank
  actions.listing = {"NOTEPAD", "MY GAME"};
  EXPECT_EQ(Receive("ACTION PROCESS please"),
            (Calls{"ListWindows", "reply PROCESS LIST:NOTEPAD,\"MY GAME\"", "SendPing"}));
  actions.listing = {};
  EXPECT_EQ(Receive("ACTION PROCESS"), (Calls{"ListWindows", "reply PROCESS LIST:", "SendPing"}));
  EXPECT_EQ(Receive("ACTION INI"), (Calls{"LoadSettings", "WritePolicies", "SendPing"}));
  EXPECT_EQ(Receive("ACTION INSTALL"), (Calls{"StartInstallSession", "SendPing"}));
  EXPECT_EQ(Receive("ACTION SHUTDOWN"), (Calls{"ForcedShutdown", "SendPing"}));
  EXPECT_EQ(Receive("ACTION REBOOT"), (Calls{"ForcedReboot", "SendPing"}));
  EXPECT_EQ(Receive("ACTION MONITOR OFF"), (Calls{"MonitorOff", "SendPing"}));
  EXPECT_EQ(Receive("ACTION MONITOR ON"), (Calls{"MonitorOn", "SendPing"}));
}

TEST_F(Dispatch, RunAndKillTakeTheirFields) {
  EXPECT_EQ(Receive("ACTION RUN C:\\Games\\cs.exe -game cstrike"),
            (Calls{"RunProgram C:\\Games\\cs.exe -game cstrike", "SendPing"}));
  EXPECT_EQ(Receive("ACTION RUN"), (Calls{"RunProgram ", "SendPing"}));
  EXPECT_EQ(Receive("ACTION KILLNOTEPAD"), (Calls{"KillWindow NOTEPAD", "SendPing"}));
  // One blank after the keyword separates; a second belongs to the caption.
  EXPECT_EQ(Receive("ACTION KILL NOTEPAD"), (Calls{"KillWindow NOTEPAD", "SendPing"}));
  EXPECT_EQ(Receive("ACTION KILL  X"), (Calls{"KillWindow  X", "SendPing"}));
  EXPECT_EQ(Receive("ACTION KILL"), (Calls{"KillWindow ", "SendPing"}));
}

TEST_F(Dispatch, SitSetsTheSecondsThenStartsTheSession) {
  EXPECT_EQ(Receive("ACTION SIT 30"), (Calls{"StartSession", "SendPing"}));
  EXPECT_EQ(state.remaining_seconds, 1800);
  Receive("ACTION SIT -5");
  EXPECT_EQ(state.remaining_seconds, -300);
  for (const char* six_hundred :
       {"ACTION SIT", "ACTION SIT x", "ACTION SIT 30 ", "ACTION SITx", "ACTION SIT 99999999999"}) {
    state.remaining_seconds = 0;
    EXPECT_EQ(Receive(six_hundred), (Calls{"StartSession", "SendPing"})) << six_hundred;
    EXPECT_EQ(state.remaining_seconds, 600) << six_hundred;
  }
  Receive("ACTION SIT $10");
  EXPECT_EQ(state.remaining_seconds, 960);
  // Minutes whose seconds overflow wrap in 32 bits instead of failing.
  Receive("ACTION SIT 2147483647");
  EXPECT_EQ(state.remaining_seconds, static_cast<int32_t>(2147483647u * 60u));
}

TEST_F(Dispatch, StandLeavesAtMostOneHundredSecondsThenEnds) {
  state.remaining_seconds = 3000;
  EXPECT_EQ(Receive("ACTION STAND"), (Calls{"EndSession", "SendPing"}));
  EXPECT_EQ(state.remaining_seconds, 100);
  state.remaining_seconds = 15;
  Receive("ACTION STAND");
  EXPECT_EQ(state.remaining_seconds, -5);
  EXPECT_EQ(protocol::StandSeconds(50), 30);
  EXPECT_EQ(protocol::StandSeconds(121), 100);
  EXPECT_EQ(protocol::StandSeconds(INT32_MIN + 5),
            static_cast<int32_t>(uint32_t{0x80000005} - 20u));
}

TEST_F(Dispatch, ProxySetsTheThreeFieldsThenSaves) {
  EXPECT_EQ(Receive("ACTION PROXY 1 proxy.club PORT 3128"), (Calls{"SaveSettings", "SendPing"}));
  EXPECT_TRUE(state.settings.Flag(Key::ProxyEnable));
  EXPECT_EQ(state.settings.Text(Key::ProxyServer), "proxy.club");
  EXPECT_EQ(state.settings.Text(Key::ProxyPort), "3128");
  Receive("ACTION PROXY 0 p PORT 1");
  EXPECT_FALSE(state.settings.Flag(Key::ProxyEnable));
  Receive("ACTION PROXY x p PORT 1");
  EXPECT_FALSE(state.settings.Flag(Key::ProxyEnable));
}

// krvini.ini holds one value per line and is read up to a zero byte: a
// server or port with a line end or a zero byte would save a file that loads
// back other settings (a ServerIP of its own, or none at all).
TEST_F(Dispatch, ProxyWithALineEndOrZeroByteFailsAndChangesNothing) {
  Receive("ACTION PROXY 1 proxy.club PORT 3128");
  using namespace std::string_literals;
  for (const std::string& text :
       {"ACTION PROXY 1 evil\r\nServerIP=10.9.9.9 PORT 80"s, "ACTION PROXY 0 p PORT 80\nBeep=1"s,
        "ACTION PROXY 0 p PORT 80\r"s, "ACTION PROXY 0 p\0q PORT 80"s,
        "ACTION PROXY 0 p PORT \0"s}) {
    EXPECT_EQ(Receive(text), Calls{}) << text;
    EXPECT_TRUE(state.settings.Flag(Key::ProxyEnable));
    EXPECT_EQ(state.settings.Text(Key::ProxyServer), "proxy.club");
    EXPECT_EQ(state.settings.Text(Key::ProxyPort), "3128");
  }
  // A line end before "PORT" but outside both fields changes nothing of them.
  EXPECT_EQ(Receive("ACTION PROXY\n1 x PORT 8"), (Calls{"SaveSettings", "SendPing"}));
}

TEST(ProxyFields, FollowTheFirstPortAnywhereInTheText) {
  ProxyFields plain = ParseProxyFields("ACTION PROXY 1 host PORT 8080");
  EXPECT_TRUE(plain.enable);
  EXPECT_EQ(plain.server, "host");
  EXPECT_EQ(plain.port, "8080");
  // "PORT" inside the server name moves the split into the name.
  ProxyFields inside = ParseProxyFields("ACTION PROXY 1 PORTAL PORT 80");
  EXPECT_EQ(inside.server, "");
  EXPECT_EQ(inside.port, "L PORT 80");
  // Without "PORT" the server and the port are empty, not a piece of the
  // keyword; the enable flag still counts.
  ProxyFields none = ParseProxyFields("ACTION PROXY 1 host");
  EXPECT_TRUE(none.enable);
  EXPECT_EQ(none.server, "");
  EXPECT_EQ(none.port, "");
  ProxyFields shortest = ParseProxyFields("ACTION PROXY");
  EXPECT_FALSE(shortest.enable);
}

TEST_F(Dispatch, VolumeParsesFromPositionFourteenAndFailsAlone) {
  EXPECT_EQ(Receive("ACTION VOLUME7"), (Calls{"SetVolume 7", "SendPing"}));
  EXPECT_EQ(Receive("ACTION VOLUME  7"), (Calls{"SetVolume 7", "SendPing"}));
  EXPECT_EQ(Receive("ACTION VOLUME 0"), (Calls{"SetVolume 0", "SendPing"}));
  EXPECT_EQ(Receive("ACTION VOLUME loud"), Calls{"SendPing"});
  actions.failing = {"SetVolume"};
  EXPECT_EQ(Receive("ACTION VOLUME 50"), (Calls{"SetVolume 50", "SendPing"}));
}

// A message is shown only as one line of text that fits the window; a
// refused one shows nothing and is answered as every command.
TEST_F(Dispatch, MessageShowsTheTextAfterOneBlankAndRefusesWhatCantBeShown) {
  EXPECT_EQ(Receive("ACTION MESSAGE \xCF\xF0\xE8\xE2\xE5\xF2!"),
            (Calls{"ShowMessage \xCF\xF0\xE8\xE2\xE5\xF2!", "SendPing"}));
  EXPECT_EQ(Receive("ACTION MESSAGE  two blanks "),
            (Calls{"ShowMessage  two blanks ", "SendPing"}));
  const std::string longest(protocol::kMaxMessageBytes, '\xFF');
  EXPECT_EQ(Receive("ACTION MESSAGE " + longest), (Calls{"ShowMessage " + longest, "SendPing"}));

  using namespace std::string_literals;
  for (const std::string& refused :
       {"ACTION MESSAGE"s, "ACTION MESSAGE "s, "ACTION MESSAGES hi"s, "ACTION MESSAGE\thi"s,
        "ACTION MESSAGE " + longest + "x", "ACTION MESSAGE a\nb"s, "ACTION MESSAGE a\0b"s,
        "ACTION MESSAGE a\x1F"s, "ACTION MESSAGE \x7F"s}) {
    EXPECT_EQ(Receive(refused), Calls{"SendPing"}) << refused;
  }
  EXPECT_EQ(MessageRefusal("ACTION MESSAGE ab\x7F"), "a control character (0x7F) at byte 3");
  EXPECT_EQ(MessageRefusal("ACTION MESSAGE"), "no text");

  // A failed helper fails the command, as every action's does.
  actions.failing = {"ShowMessage"};
  EXPECT_EQ(Receive("ACTION MESSAGE hi"), Calls{"ShowMessage hi"});
}

TEST_F(Dispatch, AFailingActionEndsTheDatagramWithoutPing) {
  actions.failing = {"StartSession"};
  EXPECT_EQ(Receive("ACTION SIT 30"), Calls{"StartSession"});
  actions.failing = {"SaveSettings"};
  EXPECT_EQ(Receive("ACTION PROXY 1 a PORT 1"), Calls{"SaveSettings"});
  actions.failing = {"LoadSettings"};
  EXPECT_EQ(Receive("ACTION INI"), Calls{"LoadSettings"});
  // The next datagram is handled as usual.
  actions.failing = {};
  EXPECT_EQ(Receive("ACTION SIT 5"), (Calls{"StartSession", "SendPing"}));
}

TEST(QuietLog, DropsOnlyTheLinesOfSingleDatagrams) {
  std::vector<std::string> log;
  platform::LogSink quiet = WithoutTraffic([&](std::string_view line) { log.emplace_back(line); });
  for (const char* line : {"<- 1.2.3.4:6868 ACTION INFO", "-> 1.2.3.4:6868 PING",
                           "datagram from 1.2.3.5:1 ignored", "volume failed: no mixer", "<-x"}) {
    quiet(line);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"datagram from 1.2.3.5:1 ignored",
                                           "volume failed: no mixer", "<-x"}));
  EXPECT_FALSE(WithoutTraffic({}));
}

TEST(ProcessListReply, CutsAfterTheLastWholeEntryThatFits) {
  std::vector<std::string> windows(300, "GAME WINDOW");  // 13 bytes quoted, 14 with the comma
  std::string reply = ProcessListReply(windows);
  EXPECT_LE(reply.size(), 2048u);
  EXPECT_EQ(reply.rfind("PROCESS LIST:\"GAME WINDOW\",", 0), 0u);
  EXPECT_EQ(reply.substr(reply.size() - 14), ",\"GAME WINDOW\"");
  EXPECT_EQ((reply.size() - 13 + 1) % 14, 0u);  // whole entries only
  EXPECT_GT(reply.size() + 14, 2048u);          // and as many as fit
  EXPECT_EQ(ProcessListReply({}), "PROCESS LIST:");
}

}  // namespace
}  // namespace zalvo::agent
