// zalvo_udp_echo: the agent's datagram path without the agent. It binds the
// same kind of socket the agent uses (0.0.0.0, port 6767 by default), waits
// for datagrams the same way (in batches, with the same 4 MiB receive
// queue asked for), and answers a datagram from the server
// address with "PING" to that address's port 6868 from the same socket. A
// datagram from any other address is dropped. It is the physical limit the
// agent's round trip is measured against.
//
//   zalvo_udp_echo [--server ADDRESS] [--port N]
//
// Runs until it is killed (or, on Windows, until the console closes).

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/datagram_socket.h"
#include "text/text.h"

namespace {

constexpr const char* kUsage =
    "usage: zalvo_udp_echo [--server ADDRESS] [--port N]\n"
    "Answers every datagram from ADDRESS (default 127.0.0.1) on UDP port N\n"
    "(default 6767) with \"PING\" to ADDRESS port 6868, from the same socket.\n";

constexpr uint16_t kReplyPort = 6868;

}  // namespace

int main(int argc, char** argv) {
  std::string server = "127.0.0.1";
  int port = 6767;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--server" && i + 1 < argc) {
      server = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      auto value = zalvo::text::ParseInt32(argv[++i]);
      if (!value || *value <= 0 || *value > 65535) {
        std::fprintf(stderr, "zalvo_udp_echo: --port needs a port number\n");
        return 2;
      }
      port = *value;
    } else {
      std::fprintf(stderr, "%s", kUsage);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  try {
    auto socket = zalvo::platform::MakeUdpSocket();
    socket->Bind("0.0.0.0", static_cast<uint16_t>(port));
    int granted = socket->SetReceiveBuffer(4 << 20);
    std::printf("echo on UDP port %d for %s, receive queue %d bytes\n", port, server.c_str(),
                granted);
    std::fflush(stdout);
    std::vector<zalvo::platform::ReceivedDatagram> batch;
    for (;;) {
      if (!socket->ReceiveBatch(batch, 64, -1)) {
        continue;
      }
      for (const auto& datagram : batch) {
        if (datagram.byte_count > 0 && datagram.from_ip == server) {
          try {
            socket->SendTo(server, kReplyPort, "PING");
          } catch (const std::exception&) {
            // A lost reply is lost, as in the agent.
          }
        }
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvo_udp_echo: %s\n", e.what());
    return 1;
  }
}
