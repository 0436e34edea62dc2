// The agent's send routine: every reply and report goes to the server address
// of the settings, port 6868, from the endpoint's socket.
#pragma once

#include "agent/actions.h"
#include "agent/agent.h"
#include "agent/agent_state.h"
#include "agent/command_gate.h"
#include "platform/datagram_socket.h"

namespace zalvo::agent {

class ServerReplies final : public Replies {
 public:
  // With a gate, every text goes out as the gate seals it.
  ServerReplies(platform::DatagramSocket& socket, const AgentState& state, LogSink log = {},
                CommandGate* gate = nullptr);

  // Sends the text as one datagram. Every failure is absorbed: an empty or
  // null server address, a failed lookup, a text too long for one datagram
  // and a failed send lose the reply without notice to the caller.
  void SendText(const std::string& text) override;
  size_t Room() const override;

 private:
  platform::DatagramSocket& socket_;
  const AgentState& state_;
  LogSink log_;
  CommandGate* gate_;
};

}  // namespace zalvo::agent
