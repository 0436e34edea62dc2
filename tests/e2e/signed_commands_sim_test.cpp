// A station with a command key, driven from outside over loopback: only
// sound envelopes from the server act, and then exactly as the same command
// does on a station without a key; zalvoctl signs, waits for its own answer
// and marks what it watches; a key file that can't be used stops the agent.
// The station's address as the server sends to it is 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/datagram_socket.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"
#include "tests/e2e/sim_harness.h"
#include "tests/support/server_peer.h"
#include "text/text.h"

namespace zalvo::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kSettings = "ServerIP=127.0.0.1\r\nSendDataTime=0\r\n";
const protocol::CommandKey kKey = [] {
  protocol::CommandKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(0xA0 + i);
  }
  return key;
}();
const std::string kKeyLine = protocol::KeyHex(kKey) + "\n";

// What a station's files hold after the commands: the log-on values, the
// settings and the journal (without time stamps).
struct StationAfter {
  std::string machine_hive;
  std::string settings;
  Lines journal;
  bool operator==(const StationAfter&) const = default;
};

class SignedCommands : public ::testing::Test {
 protected:
  void StartAgent(SimHarness& harness, bool keyed) {
    harness.WriteSettings(kSettings);
    harness.WriteStationFile("windows.txt", "65552 100 - Notepad\n");
    if (keyed) {
      harness.WriteStationFile("zalvo.key", kKeyLine + "127.0.0.1\n");
    }
    harness.Start(1000);
  }
  StationAfter After(SimHarness& harness) {
    return {harness.ReadStationFile("registry/HKEY_LOCAL_MACHINE.reg"), harness.ReadSettings(),
            harness.JournalEvents()};
  }
  std::string Sealed(const std::string& command, int64_t time, const std::string& station,
                     const protocol::CommandKey& key = kKey) {
    return protocol::Seal(protocol::Direction::kCommand, command, key, station, time,
                          protocol::NewNonce());
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("--- agent output ---\n%s\n", keyed_.Output().c_str());
    }
  }

  ServerPeer server;
  SimHarness keyed_;
};

TEST_F(SignedCommands, OnlyASoundEnvelopeActsAndThenExactlyAsTheCommandWithoutAKey) {
  const Lines commands = {"ACTION SIT 30", "ACTION PROCESS", "ACTION MONITOR OFF"};
  // The reference: a station without a key, the plain commands.
  StationAfter plain;
  std::vector<Lines> plain_replies;
  {
    SimHarness open;
    StartAgent(open, false);
    ASSERT_TRUE(server.WaitForAgent());
    for (const std::string& command : commands) {
      plain_replies.push_back(server.Exchange(command));
    }
    plain = After(open);
    open.Stop();
  }
  ASSERT_EQ(plain_replies[1], (Lines{"PROCESS LIST:NOTEPAD", "PING"}));

  StartAgent(keyed_, true);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  StationAfter before = After(keyed_);

  // Nothing that is not a sound envelope for this station acts or answers.
  const int64_t now = protocol::UnixNow();
  protocol::CommandKey other_key = kKey;
  other_key[0] ^= 0x80;
  std::string forged = Sealed("ACTION SIT 600", now, "127.0.0.1");
  forged[forged.size() - 16] ^= 1;  // a byte of the MAC's end
  std::string replayed = Sealed("ACTION SIT 600", now, "127.0.0.1");
  server.Send(replayed);
  ASSERT_EQ(server.ReceiveUntilQuiet(500).size(), 1u) << "the first use is answered";
  before = After(keyed_);  // and started a session
  for (const std::string& bad : {
           std::string("ACTION SIT 600"),
           forged,
           replayed,
           Sealed("ACTION SIT 600", now - 61, "127.0.0.1"),
           Sealed("ACTION SIT 600", now + 61, "127.0.0.1"),
           Sealed("ACTION SIT 600", now, "127.0.0.2"),
           Sealed("ACTION SIT 600", now, "127.0.0.1", other_key),
           replayed.substr(0, 60),
       }) {
    server.Send(bad);
  }
  // A stranger's address with a sound envelope is still a stranger.
  auto stranger = platform::MakeUdpSocket();
  stranger->Bind("127.0.0.2", 0);
  stranger->SendTo("127.0.0.1", 6767, Sealed("ACTION SIT 600", now, "127.0.0.1"));
  ASSERT_EQ(server.ExchangeSigned("HELLO", kKey), Lines{"PING"});
  EXPECT_TRUE(server.ReceiveUntilQuiet(300).empty());
  EXPECT_EQ(After(keyed_), before);

  // From the start again: signed, the commands do what they did unsigned.
  keyed_.Stop();
  SimHarness fresh;
  StartAgent(fresh, true);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  for (size_t i = 0; i < commands.size(); ++i) {
    EXPECT_EQ(server.ExchangeSigned(commands[i], kKey), plain_replies[i]) << commands[i];
  }
  EXPECT_EQ(After(fresh), plain);
  std::string output = fresh.Output();
  fresh.Stop();
  // The first refused datagram of the tick was logged (the others are
  // counted by the next tick).
  EXPECT_NE(keyed_.Output().find("datagram from 127.0.0.1:6868 ignored: unsigned"),
            std::string::npos)
      << keyed_.Output();
  EXPECT_NE(output.find("commands are taken only in signed envelopes"), std::string::npos);
}

TEST_F(SignedCommands, ZalvoctlSignsWaitsForItsOwnAnswerAndMarksWhatItWatches) {
  StartAgent(keyed_, true);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  keyed_.WriteStationFile("console.key", kKeyLine);
  std::string key_file = (keyed_.root() / "console.key").string();
  server = ServerPeer("127.0.0.3", 6869);  // frees 127.0.0.1:6868 for zalvoctl

  ToolRun run = keyed_.RunToEnd(
      ZALVOCTL_PROGRAM, {"--key-file", key_file, "127.0.0.1", "ACTION KILL \x1b]0;owned\x07"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, "PING\n");
  run = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"--key-file", key_file, "127.0.0.1", "ACTION PROCESS"});
  EXPECT_EQ(run.output, "PROCESS LIST:NOTEPAD\nPING\n");
  // Unsigned, or with another key, the station does not answer.
  EXPECT_EQ(
      keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"--wait", "500", "127.0.0.1", "ACTION INFO"}).exit_code,
      3);
  keyed_.WriteStationFile("other.key", std::string(64, 'e'));
  EXPECT_EQ(keyed_
                .RunToEnd(ZALVOCTL_PROGRAM,
                          {"--wait", "500", "--key-file", (keyed_.root() / "other.key").string(),
                           "127.0.0.1", "ACTION INFO"})
                .exit_code,
            3);
  // Key files that can't be used, and a leading zero, are refused.
  for (const std::string& bad : {std::string(""), std::string("xyz"), std::string(63, 'a')}) {
    keyed_.WriteStationFile("bad.key", bad);
    ToolRun refused = keyed_.RunToEnd(
        ZALVOCTL_PROGRAM,
        {"--key-file", (keyed_.root() / "bad.key").string(), "127.0.0.1", "ACTION INFO"});
    EXPECT_EQ(refused.exit_code, 2) << bad;
    EXPECT_NE(refused.output.find("key file"), std::string::npos) << refused.output;
  }
  EXPECT_EQ(
      keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"--key-file", "/nonexistent", "127.0.0.1", "X"}).exit_code,
      2);
  ToolRun octal = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"127.000.0.1", "ACTION INFO"});
  EXPECT_EQ(octal.exit_code, 2);
  EXPECT_NE(octal.output.find("leading zero"), std::string::npos) << octal.output;

  // watch: the station's signed keep-alive, an unsigned and a forged datagram.
  keyed_.Stop();
  auto station = platform::MakeUdpSocket();
  station->Bind("127.0.0.1", 6767);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string ping = protocol::Seal(protocol::Direction::kReply, "PING", kKey, "127.0.0.1",
                                      protocol::UnixNow(), protocol::NewNonce());
    station->SendTo("127.0.0.1", 6868, ping);
    station->SendTo("127.0.0.1", 6868, "INFO \x1b[2J");
    ping[50] = ping[50] == '0' ? '1' : '0';
    station->SendTo("127.0.0.1", 6868, ping);
  });
  ToolRun watch = keyed_.RunToEnd(
      ZALVOCTL_PROGRAM, {"watch", "--count", "3", "--wait", "5000", "--key-file", key_file});
  sender.join();
  EXPECT_EQ(watch.exit_code, 0) << watch.output;
  Lines lines = text::SplitLines(watch.output);
  ASSERT_EQ(lines.size(), 3u) << watch.output;
  EXPECT_EQ(lines[0].substr(24), "127.0.0.1:6767 [signed ok] PING");
  EXPECT_EQ(lines[1].substr(24), "127.0.0.1:6767 [unsigned] INFO \\x1b[2J");
  EXPECT_EQ(lines[2].substr(24, 26), "127.0.0.1:6767 [bad MAC] Z");
}

TEST_F(SignedCommands, TheAgentDoesNotStartWithAKeyFileItCannotUse) {
  keyed_.WriteSettings(kSettings);
  const std::string hex = protocol::KeyHex(kKey);
  for (const std::string& bad :
       {std::string(""), "zz" + hex.substr(2) + "\n127.0.0.1\n", hex.substr(2) + "\n127.0.0.1\n",
        hex + "\n", hex + "\n127.0.0.01\n"}) {
    keyed_.WriteStationFile("zalvo.key", bad);
    keyed_.Start(1000);
    for (int i = 0; i < 200 && keyed_.Running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(keyed_.Running()) << bad;
    EXPECT_NE(keyed_.Output().find("zalvos: not started: "), std::string::npos) << keyed_.Output();
    keyed_.Stop();
  }
  // A named key file that is missing is refused too.
  std::filesystem::remove(keyed_.root() / "zalvo.key");
  keyed_.extra_arguments = {"--key-file", (keyed_.root() / "missing.key").string()};
  keyed_.Start(1000);
  for (int i = 0; i < 200 && keyed_.Running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(keyed_.Running());
  EXPECT_NE(keyed_.Output().find("cannot read the key file"), std::string::npos);
}

}  // namespace
}  // namespace zalvo::testing
