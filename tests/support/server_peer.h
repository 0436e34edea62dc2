// The management server's side of the protocol for tests: a UDP socket on a
// loopback address and port 6868 that sends commands to the agent's port 6767
// and collects what comes back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/datagram_socket.h"
#include "protocol/envelope.h"

namespace zalvo::testing {

class ServerPeer {
 public:
  // Binds address:port (6868 is the agent's reply port).
  explicit ServerPeer(const std::string& address = "127.0.0.1", uint16_t port = 6868);

  void Send(const std::string& text, const std::string& to = "127.0.0.1", uint16_t port = 6767);

  // The next datagram within the wait, or nullopt.
  std::optional<std::string> Receive(int timeout_ms = 2000);

  // Every datagram that arrives until none has come for quiet_ms.
  std::vector<std::string> ReceiveUntilQuiet(int quiet_ms = 500);

  // Sends the command and collects the replies up to and including "PING".
  // Stops early after timeout_ms without one.
  std::vector<std::string> Exchange(const std::string& command, int timeout_ms = 3000);

  // Exchange for a station with a command key: the command goes out signed
  // for the station's address, and the result is the texts of the replies
  // signed for it, up to and including "PING" (other datagrams are skipped).
  std::vector<std::string> ExchangeSigned(const std::string& command,
                                          const protocol::CommandKey& key,
                                          const std::string& station = "127.0.0.1",
                                          int timeout_ms = 3000);

  // Whether the text arrives within wait_ms (other datagrams are skipped).
  bool Arrives(const std::string& text, int wait_ms);

  // Sends a text that matches no command until the agent answers "PING";
  // false when it never does within timeout_ms. Reports that arrive on the way
  // are skipped, and what came with the answer is drained.
  bool WaitForAgent(int timeout_ms = 20000);
  // The same for a station with a command key: signed texts, and a "PING"
  // signed for one of them.
  bool WaitForSignedAgent(const protocol::CommandKey& key, const std::string& station = "127.0.0.1",
                          int timeout_ms = 20000);

 private:
  std::unique_ptr<platform::DatagramSocket> socket_;
};

}  // namespace zalvo::testing
