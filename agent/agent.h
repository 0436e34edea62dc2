// The agent's worker: the command dispatcher and the one-second tick, over
// the worker state. The runtime calls every member under its one lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "platform/datagram_socket.h"

namespace zalvo::agent {

// Receives one line of what the agent does, in Windows-1251. Lines about
// single datagrams start with "<- " (received) or "-> " (sent).
using LogSink = std::function<void(std::string_view)>;

// The sink without the lines about single datagrams: what a quiet console
// run prints (start-up, actions, failures).
LogSink WithoutTraffic(LogSink sink);

class Agent {
 public:
  Agent(AgentState& state, AgentActions& actions, Replies& replies, LogSink log = {});

  // The worker's start before its first tick: the counter starts at 1, the
  // check period at 10, then the settings are loaded.
  void Startup();

  // One tick of the worker loop.
  void Tick();

  // One datagram from the endpoint: the sender filter, the command table in
  // order, then "PING"; one failure guard over all of it.
  void DataReceived(int32_t number_bytes, std::string_view bytes, std::string_view from_ip,
                    int32_t port);

  AgentState& state() { return state_; }

 private:
  // The command table and its handlers (agent.cpp).
  friend struct CommandTable;

  void Dispatch(std::string_view datagram);

  // Runs one tick action so that its failure ends only that action.
  template <typename F>
  void Guarded(std::string_view what, F&& action);
  void Log(std::string_view line) const;
  // Logs the first ignored datagram of a tick; later ones are only counted,
  // and the next tick logs their number.
  template <typename F>
  void LogIgnored(F&& line);

  AgentState& state_;
  AgentActions& actions_;
  Replies& replies_;
  LogSink log_;
};

// The "PROCESS LIST:" reply for a window list. A list longer than the room
// of one datagram is cut after the last whole entry that fits.
std::string ProcessListReply(const std::vector<std::string>& windows,
                             size_t room = platform::kMaxDatagram);

}  // namespace zalvo::agent
