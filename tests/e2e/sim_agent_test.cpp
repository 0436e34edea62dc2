// The Linux agent's foreground run: pausing and continuing its tick with
// signals, as the service's pause and continue do, a clear failure when the
// command port is taken, and the datagram examples of docs/protocol.md
// against the agent over a simulated station.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/replies.h"
#include "tests/e2e/sim_harness.h"
#include "tests/support/server_peer.h"
#include "text/cp1251.h"

namespace zalvo::testing {
namespace {

TEST(SimAgent, PauseStopsTheTickButNotTheCommands) {
  ServerPeer server;
  SimHarness harness;
  harness.WriteSettings("ServerIP=127.0.0.1\r\nPlayGame=0\r\n");
  harness.Start(10);
  ASSERT_TRUE(server.WaitForAgent());
  EXPECT_TRUE(server.Arrives("PING", 5000));

  harness.Signal(SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.ReceiveUntilQuiet(200);
  EXPECT_FALSE(server.Arrives("PING", 2500));
  EXPECT_EQ(server.Exchange("ACTION PROXY 1 p PORT 1"), std::vector<std::string>{"PING"});

  harness.Signal(SIGUSR2);
  EXPECT_TRUE(server.Arrives("PING", 5000));
  harness.Stop();
  EXPECT_NE(harness.Output().find("paused"), std::string::npos);
}

TEST(SimAgent, ATakenCommandPortFailsTheStartWithAClearError) {
  ServerPeer squatter("0.0.0.0", 6767);
  SimHarness harness;
  harness.WriteSettings("ServerIP=127.0.0.1\r\n");
  harness.Start(1000);
  for (int i = 0; i < 100 && harness.Running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(harness.Running());
  EXPECT_NE(harness.Output().find("Service failed on start: bind to port 6767"), std::string::npos)
      << harness.Output();
}

// One datagram sent by the server in a "datagram" block of the document,
// with the replies it gets.
struct Exchange {
  int line = 0;  // in the document, for the failure message
  std::string command;
  std::vector<std::string> replies;
};

// A line of a block as the wire carries it: UTF-8 to Windows-1251, "\xNN"
// to its byte.
std::string WireText(const std::string& utf8) {
  std::string bytes;
  size_t done = 0;
  for (size_t at = utf8.find("\\x"); at != std::string::npos; at = utf8.find("\\x", at + 1)) {
    if (at + 3 < utf8.size() && std::isxdigit(static_cast<unsigned char>(utf8[at + 2])) &&
        std::isxdigit(static_cast<unsigned char>(utf8[at + 3]))) {
      bytes += text::Utf8ToCp1251(utf8.substr(done, at - done));
      bytes += static_cast<char>(std::stoi(utf8.substr(at + 2, 2), nullptr, 16));
      done = at + 4;
    }
  }
  return bytes + text::Utf8ToCp1251(utf8.substr(done));
}

// Every ```datagram block of the document: "> text" is sent, each "< text"
// after it comes back, in order.
std::vector<Exchange> DatagramExamples(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<Exchange> exchanges;
  std::string line;
  bool in_block = false;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!in_block) {
      in_block = line == "```datagram";
    } else if (line == "```") {
      in_block = false;
    } else if (line.rfind("> ", 0) == 0) {
      exchanges.push_back({number, WireText(line.substr(2)), {}});
    } else if (line.rfind("< ", 0) == 0 && !exchanges.empty()) {
      exchanges.back().replies.push_back(WireText(line.substr(2)));
    } else {
      exchanges.push_back({number, "unreadable line: " + line, {"(a line of > or <)"}});
    }
  }
  return exchanges;
}

// The free megabytes are the test machine's: "INFO  c:<digits>MB" is
// compared by its form.
std::string FreeSpaceAsItsForm(std::string reply) {
  const std::string prefix = "INFO  c:";
  if (reply.rfind(prefix, 0) == 0 && reply.size() > prefix.size() + 2 &&
      reply.compare(reply.size() - 2, 2, "MB") == 0) {
    std::string digits = reply.substr(prefix.size(), reply.size() - prefix.size() - 2);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
      return prefix + "<n>MB";
    }
  }
  return reply;
}

TEST(ProtocolDocument, EveryDatagramExampleHoldsOnTheSimulatedStation) {
  const std::vector<Exchange> examples = DatagramExamples(ZALVO_PROTOCOL_DOC);
  // The document's session has a few dozen datagrams; far fewer means the
  // blocks were not found.
  ASSERT_GE(examples.size(), 20u) << ZALVO_PROTOCOL_DOC;

  ServerPeer server;
  SimHarness station;
  // The station the document describes: its settings and its three windows.
  station.WriteSettings("ServerIP=127.0.0.1\r\nPlayGame=1\r\nFreeDisk=1\r\nSendDataTime=0\r\n");
  station.WriteStationFile("windows.txt",
                           "65552 1200 F Counter-Strike 1.6\n"
                           "65560 1320 - Explorer\n"
                           "65570 1400 - Календар - Notepad\n");
  station.Start(1000);
  ASSERT_TRUE(server.WaitForAgent());

  for (const Exchange& example : examples) {
    std::vector<std::string> expected;
    for (const std::string& reply : example.replies) {
      expected.push_back(FreeSpaceAsItsForm(text::Cp1251ToUtf8(reply)));
    }
    std::vector<std::string> got;
    if (!example.replies.empty() && example.replies.back() == "PING") {
      got = server.Exchange(example.command);
    } else {
      server.Send(example.command);
      got = server.ReceiveUntilQuiet(400);
    }
    for (size_t i = 0; i < got.size(); ++i) {
      got[i] = FreeSpaceAsItsForm(text::Cp1251ToUtf8(got[i]));
      // The seconds left go down one a tick: the station's may be up to two
      // below the document's.
      auto told = protocol::ParseSessionState(got[i]);
      auto written = i < expected.size() ? protocol::ParseSessionState(expected[i]) : std::nullopt;
      if (told && written && told->running == written->running &&
          told->remaining_seconds <= written->remaining_seconds &&
          told->remaining_seconds >= written->remaining_seconds - 2) {
        got[i] = expected[i];
      }
    }
    EXPECT_EQ(got, expected) << "docs/protocol.md line " << example.line << ": "
                             << text::Cp1251ToUtf8(example.command);
  }
  if (HasFailure()) {
    std::printf("--- agent output ---\n%s\n", station.Output().c_str());
  }
}

}  // namespace
}  // namespace zalvo::testing
