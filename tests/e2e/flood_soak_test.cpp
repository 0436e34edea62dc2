// The agent under load from outside, on loopback: a flood from an address
// that is not the server, with the server's commands mixed in, and a soak of
// a million accepted datagrams. The server is 127.0.0.1; the flood comes
// from 127.0.0.2.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/datagram_socket.h"
#include "tests/e2e/sim_harness.h"
#include "tests/support/process_stats.h"
#include "tests/support/server_peer.h"
#include "text/text.h"

namespace zalvo::testing {
namespace {

// Without SendDataTime the agent sends no reports, and with a one-second
// tick its keep-alive comes only every 99 s: every "PING" the server gets
// in these tests answers one of its datagrams.
constexpr const char* kSettings = "ServerIP=127.0.0.1\r\nProxyEnable=0\r\nProxyServer=\r\n";

// What a customer may throw at the agent: every command, bytes no command
// has, nothing at all, and more than a datagram may hold.
std::vector<std::string> FloodTexts() {
  std::vector<std::string> texts = {"ACTION SIT 99999",
                                    "ACTION STAND",
                                    "ACTION RUN evil.exe",
                                    "ACTION KILL NOTEPAD",
                                    "ACTION PROCESS",
                                    "ACTION PROXY 1 evil PORT 6666",
                                    "ACTION INI",
                                    "ACTION INFO",
                                    "ACTION VOLUME 0",
                                    "ACTION SHUTDOWN",
                                    "ACTION REBOOT",
                                    "ACTION MONITOR OFF",
                                    "ACTION INSTALL",
                                    std::string("ACTION\0SIT 5", 12),
                                    "",
                                    std::string(2049, 'A'),
                                    std::string(2048, '\xFF')};
  return texts;
}

// A count from the environment for long runs by hand, or the CI's default.
int CountFromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  auto parsed = value ? text::ParseInt32(value) : std::nullopt;
  return parsed && *parsed > 0 ? *parsed : fallback;
}

class UnderLoad : public ::testing::Test {
 protected:
  void StartAgent() {
    harness_.WriteSettings(kSettings);
    harness_.extra_arguments = {"--quiet"};
    harness_.Start(1000);
    ASSERT_TRUE(server_.WaitForAgent());
    settings_before_ = harness_.ReadSettings();
    hive_before_ = harness_.ReadStationFile("registry/HKEY_LOCAL_MACHINE.reg");
    journal_before_ = harness_.JournalEvents().size();
  }

  // Nothing but the server's own commands changed the station.
  void ExpectStationUntouched() {
    EXPECT_EQ(harness_.ReadSettings(), settings_before_);
    EXPECT_EQ(harness_.ReadStationFile("registry/HKEY_LOCAL_MACHINE.reg"), hive_before_);
    auto journal = harness_.JournalEvents();
    EXPECT_EQ(journal.size(), journal_before_)
        << "first new event: " << (journal.size() > journal_before_ ? journal.back() : "");
  }

  ProcessUsage Usage() {
    auto usage = ReadProcessUsage(harness_.ProcessId());
    EXPECT_TRUE(usage.has_value());
    return usage.value_or(ProcessUsage{});
  }

  SimHarness harness_;
  ServerPeer server_;
  std::string settings_before_;
  std::string hive_before_;
  size_t journal_before_ = 0;
};

TEST_F(UnderLoad, AFloodFromAnotherAddressGetsNothingAndTheServerIsStillAnswered) {
  StartAgent();
  auto stranger = platform::MakeUdpSocket();
  stranger->Bind("127.0.0.2", 6868);  // where a reply to the stranger would land
  const std::vector<std::string> texts = FloodTexts();

  // Bursts the agent's receive queue can hold (about 200 KB on Linux, where
  // a full-size datagram takes over 4 KB of it), each followed by one server
  // command: the server's datagram waits behind the burst, never dropped.
  const int kBursts = CountFromEnvironment("ZALVO_FLOOD_BURSTS", 4000);
  constexpr int kBurst = 50;
  int answered = 0;
  size_t sent = 0;
  for (int burst = 0; burst < kBursts; ++burst) {
    for (int i = 0; i < kBurst; ++i) {
      stranger->SendTo("127.0.0.1", 6767, texts[sent++ % texts.size()]);
    }
    answered +=
        server_.Exchange("HELLO " + std::to_string(burst)) == std::vector<std::string>{"PING"} ? 1
                                                                                               : 0;
  }
  EXPECT_GE(sent, static_cast<size_t>(kBursts) * kBurst);
  EXPECT_EQ(answered, kBursts);

  // Then one burst far beyond what the queue holds: the kernel drops what
  // does not fit, and the agent answers the server once it has drained.
  for (int i = 0; i < 50000; ++i) {
    stranger->SendTo("127.0.0.1", 6767, texts[i % texts.size()]);
  }
  EXPECT_TRUE(server_.WaitForAgent());

  EXPECT_TRUE(server_.ReceiveUntilQuiet(300).empty());
  EXPECT_FALSE(stranger->Receive(0).has_value());
  ExpectStationUntouched();
  harness_.Stop();
  // The log took a line or two a tick, not one per datagram.
  auto lines = text::SplitLines(harness_.Output());
  EXPECT_LT(lines.size(), 200u);
  EXPECT_NE(harness_.Output().find("datagram from 127.0.0.2:6868 ignored"), std::string::npos);
  EXPECT_NE(harness_.Output().find("more datagrams ignored"), std::string::npos);
}

TEST_F(UnderLoad, AMillionAcceptedDatagramsLeaveMemoryAndDescriptorsAsTheyWere) {
  StartAgent();
  constexpr int kWindow = 16;
  const int kTotal = CountFromEnvironment("ZALVO_SOAK_DATAGRAMS", 1000000);
  const int kWarmUp = std::min(50000, kTotal / 20 + 1);
  // Commands that touch no file, with and without a reply of their own.
  const std::vector<std::string> commands = {"HELLO", "ACTION PROCESS", "ACTION KILL NOBODY",
                                             "ACTION VOLUME 999"};
  int stalls = 0;
  // Sends count commands, kWindow in flight, and returns once all are
  // answered; the agent is then idle, with no file of the station open.
  auto run = [&](int count) {
    int sent = 0;
    int pings = 0;
    auto send_next = [&] { server_.Send(commands[static_cast<size_t>(sent++) % commands.size()]); };
    for (int i = 0; i < kWindow && sent < count; ++i) {
      send_next();
    }
    while (pings < count) {
      auto reply = server_.Receive(2000);
      if (!reply) {
        // A lost datagram shrank the window: put one back.
        ++stalls;
        ASSERT_LT(stalls, 10) << "the agent stopped answering after " << pings;
        send_next();
        continue;
      }
      if (*reply != "PING") {
        continue;  // the process list that comes before its "PING"
      }
      ++pings;
      if (sent < count) {
        send_next();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  run(kWarmUp);
  ProcessUsage warm = Usage();
  run(kTotal - kWarmUp);
  if (HasFatalFailure()) {
    return;
  }
  ProcessUsage end = Usage();
  std::printf(
      "resident after %d datagrams: %lld KiB, after %d: %lld KiB; descriptors %lld -> "
      "%lld; threads %lld -> %lld\n",
      kWarmUp, static_cast<long long>(warm.resident_bytes / 1024), kTotal,
      static_cast<long long>(end.resident_bytes / 1024),
      static_cast<long long>(warm.open_descriptors), static_cast<long long>(end.open_descriptors),
      static_cast<long long>(warm.threads), static_cast<long long>(end.threads));
  EXPECT_EQ(stalls, 0);
  EXPECT_EQ(end.open_descriptors, warm.open_descriptors);
  EXPECT_EQ(end.threads, warm.threads);
  // A leak of even a few bytes a datagram would show as megabytes here; the
  // allowance covers the allocator's page-level noise only.
  EXPECT_LT(end.resident_bytes - warm.resident_bytes, 1024 * 1024);
  ExpectStationUntouched();
}

}  // namespace
}  // namespace zalvo::testing
