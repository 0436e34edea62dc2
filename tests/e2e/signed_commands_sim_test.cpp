// A station with a command key, driven from outside over loopback: only
// sound envelopes from the server act, and then exactly as the same command
// does on a station without a key; a captured command does not act again
// after the agent restarts; zalvoctl makes the keys, signs with the
// station's own key, waits for its own answer and marks what it watches; a
// key file that can't be used stops the agent, one that others may read
// warns. The station's address as the server sends to it is 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
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
// The club's key, and the station's own key derived from it.
const protocol::CommandKey kClubKey = [] {
  protocol::CommandKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(0xA0 + i);
  }
  return key;
}();
const protocol::CommandKey kKey = protocol::DeriveStationKey(kClubKey, "127.0.0.1");
const std::string kClubKeyFile =
    protocol::KeyFileText({kClubKey, "", protocol::KeyKind::kClub, false});
const std::string kStationKeyFile =
    protocol::KeyFileText({kKey, "127.0.0.1", protocol::KeyKind::kStation, false});

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
  // A key file of the station folder that only its owner may read.
  std::string WriteKey(SimHarness& harness, const std::string& name, const std::string& text) {
    harness.WriteStationFile(name, text);
    std::filesystem::permissions(harness.root() / name, std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write);
    return (harness.root() / name).string();
  }
  void StartAgent(SimHarness& harness, bool keyed) {
    harness.WriteSettings(kSettings);
    harness.WriteStationFile("windows.txt", "65552 100 - Notepad\n");
    if (keyed) {
      WriteKey(harness, "zalvo.key", kStationKeyFile);
    }
    harness.Start(1000);
  }
  // The machine hive without the replay mark, which a keyed station keeps
  // there, and with the kept session's running flag only (its times are the
  // clock's).
  StationAfter After(SimHarness& harness) {
    std::string hive = harness.ReadStationFile("registry/HKEY_LOCAL_MACHINE.reg");
    hive = std::regex_replace(hive, std::regex("\"NewestCommandTime\"=\"[0-9]+\"\n"), "");
    hive = std::regex_replace(hive, std::regex("(\"SessionState\"=\"[01]) -?[0-9]+ -?[0-9]+\""),
                              "$1\"");
    hive = std::regex_replace(
        hive, std::regex("\n\\[HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Zalvo\\]\n(?=\n|$)"), "");
    return {hive, harness.ReadSettings(), harness.JournalEvents()};
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
  ASSERT_TRUE(server.Receive(5000)) << "the first use is answered";
  ASSERT_TRUE(server.ReceiveUntilQuiet(300).empty());
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
  EXPECT_TRUE(keyed_.Printed("datagram from 127.0.0.1:6868 ignored: unsigned")) << keyed_.Output();
  EXPECT_NE(output.find("commands are taken only in signed envelopes"), std::string::npos);
}

// A command captured on the wire does not act again once the agent has
// restarted (its memory of nonces gone), the replay mark it stored before
// the command acted keeps it out; a newer command acts.
TEST_F(SignedCommands, ACapturedCommandDoesNotActAgainAfterTheAgentRestarts) {
  StartAgent(keyed_, true);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  const std::string captured = Sealed("ACTION SIT 30", protocol::UnixNow(), "127.0.0.1");
  server.Send(captured);
  ASSERT_TRUE(server.Receive(5000));
  ASSERT_TRUE(server.ReceiveUntilQuiet(300).empty());
  keyed_.Kill();  // a crash right after the session started
  keyed_.Start(1000);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  StationAfter before = After(keyed_);
  server.Send(captured);
  EXPECT_TRUE(server.ReceiveUntilQuiet(300).empty());
  EXPECT_EQ(After(keyed_), before);
  // Logged with its reason, as the tick's first refusal or in the next
  // tick's count of them.
  EXPECT_TRUE(keyed_.Printed("not newer than the replay mark")) << keyed_.Output();
  EXPECT_EQ(server.ExchangeSigned("ACTION SIT 20", kKey), Lines{"PING"});
}

TEST_F(SignedCommands, ZalvoctlMakesTheKeysSignsWithTheStationsKeyAndMarksWhatItWatches) {
  // keygen and derive write new files that only their owner may read, and
  // never over an existing one.
  const std::string club = (keyed_.root() / "club.key").string();
  const std::string own = (keyed_.root() / "zalvo.key").string();
  ToolRun run = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"keygen", club});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const std::string club_text = keyed_.ReadStationFile("club.key");
  EXPECT_EQ(run.output, "the club key is in " + club +
                            ", which only its owner may read; a station gets its own key from "
                            "it (zalvoctl derive ADDRESS FILE)\n");
  run = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"keygen", club});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.output.find("exists already"), std::string::npos) << run.output;
  EXPECT_EQ(keyed_.ReadStationFile("club.key"), club_text);
  EXPECT_EQ(keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"derive", "--key-file", club, "127.0.0.01", own})
                .exit_code,
            2);
  ASSERT_EQ(
      keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"derive", "--key-file", club, "127.0.0.1", own}).exit_code,
      0);
  for (const std::string& path : {club, own}) {
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << path;
  }
  const protocol::KeyText club_key = protocol::ParseKeyText(club_text);
  const protocol::KeyText station_key = protocol::ParseKeyText(keyed_.ReadStationFile("zalvo.key"));
  ASSERT_EQ(club_key.kind, protocol::KeyKind::kClub);
  ASSERT_EQ(station_key.kind, protocol::KeyKind::kStation);
  EXPECT_EQ(station_key.key, protocol::DeriveStationKey(club_key.key, "127.0.0.1"));
  EXPECT_EQ(keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"derive", "--key-file", own, "127.0.0.2", "x.key"})
                .exit_code,
            2);

  // The station runs on its derived key; zalvoctl signs with it from the
  // club key.
  keyed_.WriteSettings(kSettings);
  keyed_.WriteStationFile("windows.txt", "65552 100 - Notepad\n");
  keyed_.Start(1000);
  ASSERT_TRUE(server.WaitForSignedAgent(station_key.key));
  server = ServerPeer("127.0.0.3", 6869);  // frees 127.0.0.1:6868 for zalvoctl
  run = keyed_.RunToEnd(ZALVOCTL_PROGRAM,
                        {"--key-file", club, "127.0.0.1", "ACTION KILL \x1b]0;owned\x07"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, "PING\n");
  run = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"--key-file", own, "127.0.0.1", "ACTION PROCESS"});
  EXPECT_EQ(run.output, "PROCESS LIST:NOTEPAD\nPING\n");
  // Unsigned, with another club key, or with the club key itself for a
  // station that keeps its own, the station does not answer.
  auto info = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--wait", "500"});
    args.insert(args.end(), {"127.0.0.1", "ACTION INFO"});
    return keyed_.RunToEnd(ZALVOCTL_PROGRAM, args);
  };
  const std::string other = WriteKey(keyed_, "other.key", kClubKeyFile);
  EXPECT_EQ(info({}).exit_code, 3);
  EXPECT_EQ(info({"--key-file", other}).exit_code, 3);
  EXPECT_EQ(info({"--key-file", club, "--club-keyed", "127.0.0.1"}).exit_code, 3);
  // A key file others may read warns, and --strict-keys refuses it.
  std::filesystem::permissions(
      club, std::filesystem::perms::group_read | std::filesystem::perms::others_read,
      std::filesystem::perm_options::add);
  run = info({"--key-file", club});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.output.find("warning: " + club +
                            " may be read or changed by its group and every "
                            "user (mode 0644): chmod 600 " +
                            club),
            std::string::npos)
      << run.output;
  EXPECT_EQ(info({"--strict-keys", "--key-file", club}).exit_code, 2);
  // Key files that can't be used, and a leading zero, are refused.
  for (const std::string& bad :
       {std::string(""), std::string("xyz"), std::string(63, 'a'), std::string(64, 'e')}) {
    ToolRun refused = info({"--key-file", WriteKey(keyed_, "bad.key", bad)});
    EXPECT_EQ(refused.exit_code, 2) << bad;
    EXPECT_NE(refused.output.find("key file"), std::string::npos) << refused.output;
  }
  EXPECT_EQ(info({"--key-file", "/nonexistent"}).exit_code, 2);
  ToolRun octal = keyed_.RunToEnd(ZALVOCTL_PROGRAM, {"127.000.0.1", "ACTION INFO"});
  EXPECT_EQ(octal.exit_code, 2);
  EXPECT_NE(octal.output.find("leading zero"), std::string::npos) << octal.output;

  // watch --raw: the station's signed keep-alive, an unsigned and a forged
  // datagram; control characters escaped, Windows-1251 letters as they are.
  keyed_.Stop();
  auto station = platform::MakeUdpSocket();
  station->Bind("127.0.0.1", 6767);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string ping = protocol::Seal(protocol::Direction::kReply, "PING", station_key.key,
                                      "127.0.0.1", protocol::UnixNow(), protocol::NewNonce());
    station->SendTo("127.0.0.1", 6868, ping);
    station->SendTo("127.0.0.1", 6868, "INFO \x1b[2J\n\xC0\x7F");
    ping[50] = ping[50] == '0' ? '1' : '0';
    station->SendTo("127.0.0.1", 6868, ping);
  });
  ToolRun watch = keyed_.RunToEnd(
      ZALVOCTL_PROGRAM, {"watch", "--raw", "--count", "3", "--wait", "5000", "--key-file", own});
  sender.join();
  EXPECT_EQ(watch.exit_code, 0) << watch.output;
  Lines lines = text::SplitLines(watch.output);
  ASSERT_EQ(lines.size(), 3u) << watch.output;
  EXPECT_EQ(lines[0].substr(24), "127.0.0.1:6767 [signed ok] PING");
  EXPECT_EQ(lines[1].substr(24), "127.0.0.1:6767 [unsigned] INFO \\x1b[2J\\x0a\xC0\\x7f");
  EXPECT_EQ(lines[2].substr(24, 26), "127.0.0.1:6767 [bad MAC] Z");
}

TEST_F(SignedCommands, TheAgentDoesNotStartWithAKeyFileItCannotUseAndWarnsOfOneOthersMayRead) {
  keyed_.WriteSettings(kSettings);
  const std::string hex = protocol::KeyHex(kKey);
  auto refused = [&](const std::string& why) {
    keyed_.Start(1000);
    for (int i = 0; i < 1000 && keyed_.Running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(keyed_.Running()) << why;
    EXPECT_NE(keyed_.Output().find("zalvos: not started: "), std::string::npos) << keyed_.Output();
    EXPECT_NE(keyed_.Output().find(why), std::string::npos) << keyed_.Output();
    keyed_.Stop();
  };
  for (const std::string& bad :
       {std::string(""), "zz" + hex.substr(2) + "\n127.0.0.1\n", hex.substr(2) + "\n127.0.0.1\n",
        hex + "\n", hex + "\n127.0.0.01\n", "zalvo station key\n" + hex + "\n"}) {
    WriteKey(keyed_, "zalvo.key", bad);
    refused(bad == hex + "\n" ? "names no station address" : "can't be used");
  }
  WriteKey(keyed_, "zalvo.key", kClubKeyFile);
  refused("holds the club's key");
  // Others may read it: refused when strict, else a warning, and it runs.
  WriteKey(keyed_, "zalvo.key", kStationKeyFile);
  std::filesystem::permissions(keyed_.root() / "zalvo.key", std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  keyed_.extra_arguments = {"--strict-keys"};
  refused("the key file is refused: " + (keyed_.root() / "zalvo.key").string() +
          " may be read or changed by every user (mode 0604)");
  keyed_.extra_arguments = {};
  keyed_.Start(1000);
  ASSERT_TRUE(server.WaitForSignedAgent(kKey));
  EXPECT_NE(keyed_.Output().find("agent   warning: " + (keyed_.root() / "zalvo.key").string() +
                                 " may be read or changed by every user (mode 0604)"),
            std::string::npos)
      << keyed_.Output();
  keyed_.Stop();
  // A named key file that is missing is refused too.
  keyed_.extra_arguments = {"--key-file", (keyed_.root() / "missing.key").string()};
  refused("cannot read the key file");
}

}  // namespace
}  // namespace zalvo::testing
