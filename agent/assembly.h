// The agent wired in one place: the worker state, the station's actions over
// its parts, the command gate, the replies and the dispatcher, which tells
// the gate the server after every load of the settings. zalvos on both
// platforms, the in-process tests, the fuzz target and the benchmarks all
// build the agent here; the runtime then drives its dispatcher and gate.
#pragma once

#include <optional>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "agent/command_dispatcher.h"
#include "agent/command_gate.h"
#include "agent/server_replies.h"
#include "agent/station_actions.h"
#include "platform/datagram_socket.h"
#include "platform/registry.h"
#include "protocol/key_file.h"

namespace zalvo::agent {

struct AgentWiring {
  // The station's command key; none: every datagram from the server acts.
  std::optional<protocol::KeyText> key;
  // Where a keyed station keeps its replay mark; none keeps no mark.
  platform::Registry* mark_store = nullptr;
  platform::LogSink log;
};

class AssembledAgent {
 public:
  // Replies go out through the socket, sealed by the gate. Throws
  // protocol::KeyFileError for a key without the station's address.
  AssembledAgent(platform::DatagramSocket& socket, const StationParts& parts, AgentWiring wiring);
  // Replies go to the caller's sink (tests and benchmarks), which seals them
  // with the gate as it needs.
  AssembledAgent(Replies& replies, const StationParts& parts, AgentWiring wiring);
  AssembledAgent(const AssembledAgent&) = delete;
  AssembledAgent& operator=(const AssembledAgent&) = delete;

  AgentState state;
  CommandGate gate;

 private:
  std::optional<ServerReplies> socket_replies_;

 public:
  Replies& replies;
  StationActions actions;
  CommandDispatcher dispatcher;
};

}  // namespace zalvo::agent
