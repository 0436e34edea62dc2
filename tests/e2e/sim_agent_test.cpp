// The Linux agent's foreground run: pausing and continuing its tick with
// signals, as the service's pause and continue do, and a clear failure when
// the command port is taken.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/e2e/sim_harness.h"
#include "tests/support/server_peer.h"

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

}  // namespace
}  // namespace zalvo::testing
