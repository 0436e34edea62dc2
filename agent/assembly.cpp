#include "agent/assembly.h"

namespace zalvo::agent {

AssembledAgent::AssembledAgent(platform::DatagramSocket& socket, const StationParts& parts,
                               AgentWiring wiring)
    : gate(std::move(wiring.key), wiring.log, wiring.mark_store),
      socket_replies_(std::in_place, socket, gate, wiring.log),
      replies(*socket_replies_),
      actions(state, replies, parts, wiring.log),
      dispatcher(state, actions, replies, wiring.log,
                 [this](std::string_view server_ip) { gate.SetServer(server_ip); }) {}

AssembledAgent::AssembledAgent(Replies& sink, const StationParts& parts, AgentWiring wiring)
    : gate(std::move(wiring.key), wiring.log, wiring.mark_store),
      replies(sink),
      actions(state, replies, parts, wiring.log),
      dispatcher(state, actions, replies, wiring.log,
                 [this](std::string_view server_ip) { gate.SetServer(server_ip); }) {}

}  // namespace zalvo::agent
