// The agent's send routine: every reply and report goes to the server of its
// context, port 6868, from the endpoint's socket, as the gate seals it.
#pragma once

#include "agent/actions.h"
#include "agent/command_gate.h"
#include "platform/datagram_socket.h"
#include "platform/log_sink.h"

namespace zalvo::agent {

class ServerReplies final : public Replies {
 public:
  ServerReplies(platform::DatagramSocket& socket, CommandGate& gate, platform::LogSink log = {});

  // Sends the text as one datagram. Every failure is absorbed: no server
  // address, a text too long for one datagram and a failed send lose the
  // reply without notice to the caller.
  void SendText(const ReplyContext& to, const std::string& text) override;
  size_t Room() const override;

 private:
  platform::DatagramSocket& socket_;
  CommandGate& gate_;
  platform::LogSink log_;
};

}  // namespace zalvo::agent
