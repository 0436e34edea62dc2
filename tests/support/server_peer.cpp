#include "tests/support/server_peer.h"

#include <chrono>

namespace zalvo::testing {

ServerPeer::ServerPeer(const std::string& address, uint16_t port)
    : socket_(platform::MakeUdpSocket()) {
  socket_->Bind(address, port);
}

void ServerPeer::Send(const std::string& text, const std::string& to, uint16_t port) {
  socket_->SendTo(to, port, text);
}

std::optional<std::string> ServerPeer::Receive(int timeout_ms) {
  auto datagram = socket_->Receive(timeout_ms);
  if (!datagram) {
    return std::nullopt;
  }
  return datagram->bytes;
}

std::vector<std::string> ServerPeer::ReceiveUntilQuiet(int quiet_ms) {
  std::vector<std::string> texts;
  while (auto text = Receive(quiet_ms)) {
    texts.push_back(*text);
  }
  return texts;
}

std::vector<std::string> ServerPeer::Exchange(const std::string& command, int timeout_ms) {
  Send(command);
  std::vector<std::string> replies;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto text = Receive(static_cast<int>(left.count()) + 1);
    if (!text) {
      break;
    }
    replies.push_back(*text);
    if (*text == "PING") {
      break;
    }
  }
  return replies;
}

std::vector<std::string> ServerPeer::ExchangeSigned(const std::string& command,
                                                    const protocol::CommandKey& key,
                                                    const std::string& station, int timeout_ms) {
  protocol::SignedCommand signed_command = protocol::Sign(command, key, station);
  Send(signed_command.datagram);
  std::vector<std::string> replies;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto datagram = Receive(static_cast<int>(left.count()) + 1);
    if (!datagram) {
      break;
    }
    protocol::Opened opened = protocol::OpenReply(*datagram, key, station, signed_command.nonce);
    if (opened.verdict != protocol::Verdict::kOk) {
      continue;
    }
    replies.emplace_back(opened.text);
    if (opened.text == "PING") {
      break;
    }
  }
  return replies;
}

bool ServerPeer::Arrives(const std::string& text, int wait_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Receive(100) == text) {
      return true;
    }
  }
  return false;
}

bool ServerPeer::WaitForAgent(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    Send("HELLO");
    // Reports of a fast tick may come before the answer: look at everything
    // that arrives for a while.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    while (std::chrono::steady_clock::now() < until) {
      if (Receive(50) == "PING") {
        // What came with it is not for the test (at most 200 ms of it).
        auto drained = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < drained) {
          Receive(20);
        }
        return true;
      }
    }
  }
  return false;
}

}  // namespace zalvo::testing

namespace zalvo::testing {

bool ServerPeer::WaitForSignedAgent(const protocol::CommandKey& key, const std::string& station,
                                    int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ExchangeSigned("HELLO", key, station, 250) == std::vector<std::string>{"PING"}) {
      ReceiveUntilQuiet(200);
      return true;
    }
  }
  return false;
}

}  // namespace zalvo::testing
