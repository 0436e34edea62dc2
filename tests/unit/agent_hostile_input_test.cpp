// What a customer on the club's network, or a broken server, can send: every
// command cut short at every position, a zero or 0xFF byte at every
// position, numbers at and past the 32-bit limits, and "PORT" anywhere in an
// "ACTION PROXY". The dispatcher answers each with its own result or ignores
// it; it never throws, and a datagram it carries out ends with "PING".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/command.h"
#include "agent/command_dispatcher.h"
#include "tests/support/protocol_samples.h"
#include "tests/support/recording_actions.h"

namespace zalvo::agent {
namespace {

using settings::Key;
using testing::kEveryCommand;
using testing::kExactCommands;
using testing::RecordingActions;
using Calls = std::vector<std::string>;

class HostileInput : public ::testing::Test {
 protected:
  HostileInput() : actions(state), agent(state, actions, actions) {
    state.settings.SetText(Key::ServerIP, "10.0.0.1");
  }
  Calls Receive(const std::string& bytes) {
    actions.calls.clear();
    EXPECT_NO_THROW(agent.DataReceived(bytes, ReplyTo("10.0.0.1")));
    return actions.calls;
  }
  // The calls of a datagram that was carried out, "PING" last, or none.
  void ExpectCarriedOut(const std::string& bytes) {
    Calls calls = Receive(bytes);
    ASSERT_FALSE(calls.empty()) << ::testing::PrintToString(bytes);
    EXPECT_EQ(calls.back(), "SendPing") << ::testing::PrintToString(bytes);
    for (const std::string& call : calls) {
      if (call.rfind("reply ", 0) == 0) {
        EXPECT_LE(call.size() - 6, 2048u);
      }
    }
  }
  AgentState state;
  RecordingActions actions;
  CommandDispatcher agent;
};

TEST_F(HostileInput, EveryCommandCutShortAtEveryPositionIsAnsweredOrIgnored) {
  for (const std::string& command : kEveryCommand) {
    // (An empty datagram never passes the gate.)
    for (size_t length = 1; length <= command.size(); ++length) {
      ExpectCarriedOut(command.substr(0, length));
    }
  }
  // A cut exact keyword is just a text: nothing but "PING".
  EXPECT_EQ(Receive("ACTION STAN"), Calls{"SendPing"});
  EXPECT_EQ(Receive("ACTION MONITOR O"), Calls{"SendPing"});
  // A prefix keyword cut right after it takes empty or default fields.
  EXPECT_EQ(Receive("ACTION SIT"), (Calls{"StartSession", "SendPing"}));
  EXPECT_EQ(state.remaining_seconds, 600);
  EXPECT_EQ(Receive("ACTION VOLUME"), Calls{"SendPing"});
}

TEST_F(HostileInput, AZeroOr0xFFByteAnywhereNeverMakesAnotherCommand) {
  for (const std::string& command : kEveryCommand) {
    for (size_t at = 0; at <= command.size(); ++at) {
      for (char odd : {'\0', '\xFF'}) {
        std::string bytes = command;
        bytes.insert(at, 1, odd);
        ProxyFields proxy = ParseProxyFields(bytes);
        if (bytes.rfind("ACTION PROXY", 0) == 0 && (proxy.server.find('\0') != std::string::npos ||
                                                    proxy.port.find('\0') != std::string::npos)) {
          // krvini.ini can't hold a zero byte in a value: the command fails.
          EXPECT_EQ(Receive(bytes), Calls{}) << ::testing::PrintToString(bytes);
          continue;
        }
        ExpectCarriedOut(bytes);
        // A command that must match whole is then just a text.
        if (kExactCommands.count(command) != 0) {
          EXPECT_EQ(actions.calls, Calls{"SendPing"}) << ::testing::PrintToString(bytes);
        }
      }
    }
  }
  // Field bytes pass through as they came, zero included.
  EXPECT_EQ(Receive(std::string("ACTION KILL A\0B", 15)),
            (Calls{std::string("KillWindow A\0B", 14), "SendPing"}));
  EXPECT_EQ(Receive("ACTION SIT 3\xFF"), (Calls{"StartSession", "SendPing"}));
  EXPECT_EQ(state.remaining_seconds, 600);  // not a number: the default ten minutes
}

TEST_F(HostileInput, NumbersAtAndPastThe32BitLimits) {
  struct Case {
    const char* minutes;
    int32_t seconds;
  };
  for (Case c : {Case{"2147483647", static_cast<int32_t>(2147483647u * 60u)},
                 Case{"-2147483648", static_cast<int32_t>(0x80000000u * 60u)},
                 Case{"2147483648", 600}, Case{"-2147483649", 600},
                 Case{"99999999999999999999", 600}, Case{"-0", 0}, Case{"+5", 300}}) {
    Receive(std::string("ACTION SIT ") + c.minutes);
    EXPECT_EQ(state.remaining_seconds, c.seconds) << c.minutes;
  }
  EXPECT_EQ(Receive("ACTION VOLUME 2147483647"), (Calls{"SetVolume 2147483647", "SendPing"}));
  EXPECT_EQ(Receive("ACTION VOLUME -2147483648"), (Calls{"SetVolume -2147483648", "SendPing"}));
  EXPECT_EQ(Receive("ACTION VOLUME 2147483648"), Calls{"SendPing"});
  // STAND from the lowest remaining time wraps instead of trapping.
  state.remaining_seconds = INT32_MIN;
  Receive("ACTION STAND");
  EXPECT_EQ(state.remaining_seconds, static_cast<int32_t>(0x80000000u - 20u));
}

TEST_F(HostileInput, PortAnywhereInAProxyCommand) {
  const std::string base = "ACTION PROXY 1 proxy.club 3128";
  for (size_t at = 0; at <= base.size(); ++at) {
    std::string text = base;
    text.insert(at, "PORT");
    Calls calls = Receive(text);
    const bool is_proxy = text.rfind("ACTION PROXY", 0) == 0;
    const Calls expected = is_proxy ? Calls{"SaveSettings", "SendPing"} : Calls{"SendPing"};
    EXPECT_EQ(calls, expected) << text;
    if (!is_proxy) {
      continue;
    }
    // The fields are pieces of the text: the server from position 16, the
    // port a tail of it; together never longer than the text.
    const std::string& server = state.settings.Text(Key::ProxyServer);
    const std::string& port = state.settings.Text(Key::ProxyPort);
    EXPECT_EQ(text.compare(15, server.size(), server), 0) << text;
    EXPECT_TRUE(port.empty() || text.compare(text.size() - port.size(), port.size(), port) == 0)
        << text;
    EXPECT_LE(server.size() + port.size(), text.size()) << text;
  }
  // "PORT" as the very end: the port is empty, the server what precedes it.
  Receive("ACTION PROXY 1 host PORT");
  EXPECT_EQ(state.settings.Text(Key::ProxyServer), "host");
  EXPECT_EQ(state.settings.Text(Key::ProxyPort), "");
  Receive("ACTION PROXYPORT");
  EXPECT_EQ(state.settings.Text(Key::ProxyServer), "");
  EXPECT_EQ(state.settings.Text(Key::ProxyPort), "");
}

}  // namespace
}  // namespace zalvo::agent
