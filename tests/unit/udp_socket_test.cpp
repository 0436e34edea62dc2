// The UDP endpoint on loopback with ports the system picks: whole datagrams
// up to 2048 bytes, -1 beyond, the sender's dotted address and port, and the
// sends that can't go anywhere.
#include <gtest/gtest.h>

#include "agent/server_replies.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"

namespace zalvo::platform {
namespace {

class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    a = MakeUdpSocket();
    b = MakeUdpSocket();
    a->Bind("127.0.0.1", 0);
    b->Bind("127.0.0.1", 0);
  }
  std::unique_ptr<DatagramSocket> a;
  std::unique_ptr<DatagramSocket> b;
};

TEST_F(Loopback, DeliversUpTo2048BytesWholeWithTheSender) {
  std::string full(2048, 'x');
  full.front() = 'A';
  full.back() = 'Z';
  b->SendTo("127.0.0.1", a->LocalPort(), full);
  auto got = a->Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->byte_count, 2048);
  EXPECT_EQ(got->bytes, full);
  EXPECT_EQ(got->from_ip, "127.0.0.1");
  EXPECT_EQ(got->from_port, b->LocalPort());

  // Bytes of every value pass unchanged, Windows-1251 text included.
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<char>(i));
  }
  b->SendTo("127.0.0.1", a->LocalPort(), all);
  got = a->Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->bytes, all);
}

TEST_F(Loopback, ADatagramTooLongArrivesAsAFailedReceive) {
  b->SendTo("127.0.0.1", a->LocalPort(), std::string(2049, 'y'));
  auto got = a->Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->byte_count, -1);
  EXPECT_TRUE(got->bytes.empty());
  // The next one is received as usual.
  b->SendTo("127.0.0.1", a->LocalPort(), "next");
  got = a->Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->bytes, "next");
}

TEST_F(Loopback, ReceiveEndsOnTimeoutAndAfterShutdown) {
  EXPECT_EQ(a->Receive(50), std::nullopt);
  a->Shutdown();
  EXPECT_EQ(a->Receive(-1), std::nullopt);
}

TEST_F(Loopback, SendsToNoAddressFailAndTheAgentsRepliesAbsorbThem) {
  EXPECT_THROW(b->SendTo("", 6868, "PING"), PlatformError);
  EXPECT_THROW(b->SendTo("0.0.0.0", 6868, "PING"), PlatformError);
  EXPECT_THROW(b->Bind("not an address at all", 0), PlatformError);

  agent::CommandGate gate;
  std::vector<std::string> log;
  agent::ServerReplies replies(*b, gate, [&](std::string_view line) { log.emplace_back(line); });
  EXPECT_NO_THROW(replies.SendText(agent::ReplyTo(""), "PING"));
  EXPECT_NO_THROW(replies.SendText(agent::ReplyTo("0.0.0.0"), "PING"));
  EXPECT_NO_THROW(replies.SendText(agent::ReplyTo("127.0.0.1"), std::string(2049, 'x')));
  ASSERT_EQ(log.size(), 3u);
  for (const std::string& line : log) {
    EXPECT_NE(line.find("lost"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace zalvo::platform
