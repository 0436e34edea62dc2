// The echo is the yardstick of the load benchmarks: it must answer exactly
// what the agent answers cheapest (a datagram from the server address) and
// drop the rest, or the ratios mean nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::testing {
namespace {

constexpr uint16_t kEchoPort = 16769;

class UdpEchoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = (std::filesystem::temp_directory_path() / "zalvo-udp-echo-test.log").string();
    echo_ = StartProcess(ZALVO_UDP_ECHO, {"--port", std::to_string(kEchoPort)}, log_);
    for (int i = 0; i < 200; ++i) {
      server_.Send("probe", "127.0.0.1", kEchoPort);
      if (server_.Receive(25)) {
        server_.ReceiveUntilQuiet(100);
        return;
      }
    }
    FAIL() << "the echo never answered";
  }
  void TearDown() override { echo_->Stop(); }

  ServerPeer server_{"127.0.0.1", 6868};
  std::string log_;
  std::unique_ptr<ChildProcess> echo_;
};

TEST_F(UdpEchoTest, AnswersEachServerDatagramUpToTheLimitWithPing) {
  for (size_t size : {size_t{1}, size_t{16}, size_t{2048}}) {
    server_.Send(std::string(size, 'A'), "127.0.0.1", kEchoPort);
    EXPECT_EQ(server_.Receive(2000), "PING") << size << " bytes";
  }
  for (int i = 0; i < 50; ++i) {
    server_.Send("ACTION INFO", "127.0.0.1", kEchoPort);
  }
  auto replies = server_.ReceiveUntilQuiet(300);
  EXPECT_EQ(replies.size(), 50u);
  for (const auto& reply : replies) {
    EXPECT_EQ(reply, "PING");
  }
}

TEST_F(UdpEchoTest, DropsOtherAddressesEmptyAndOversizedDatagrams) {
  ServerPeer other("127.0.0.2", 0);
  for (int i = 0; i < 100; ++i) {
    other.Send("ACTION INFO", "127.0.0.1", kEchoPort);
  }
  server_.Send("", "127.0.0.1", kEchoPort);
  server_.Send(std::string(2049, 'A'), "127.0.0.1", kEchoPort);
  EXPECT_TRUE(server_.ReceiveUntilQuiet(300).empty());
  EXPECT_TRUE(other.ReceiveUntilQuiet(50).empty());
  // Still answering after all of that.
  server_.Send("after", "127.0.0.1", kEchoPort);
  EXPECT_EQ(server_.Receive(2000), "PING");
  EXPECT_TRUE(echo_->Running());
}

}  // namespace
}  // namespace zalvo::testing
