// The agent's worker: the command dispatcher and the one-second tick, over
// the worker state. The runtime calls every member under its one lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "platform/datagram_socket.h"
#include "platform/log_sink.h"

namespace zalvo::agent {

// The sink without the lines about single datagrams, which start with "<- "
// (received) or "-> " (sent): what a quiet console run prints (start-up,
// actions, failures).
platform::LogSink WithoutTraffic(platform::LogSink sink);

// Told the server address of the settings after every load of the settings:
// the command gate admits commands from it only, and the tick's reports go
// there.
using ServerSink = std::function<void(std::string_view server_ip)>;

class CommandDispatcher {
 public:
  CommandDispatcher(AgentState& state, AgentActions& actions, Replies& replies,
                    platform::LogSink log = {}, ServerSink server = {});

  // The worker's start before its first tick: the counter starts at 1, the
  // check period at 10, the session kept before comes back, then the
  // settings are loaded.
  void Startup();

  // One tick of the worker loop; its reports go to `reports`.
  void Tick(const ReplyContext& reports);

  // One command that the gate admitted: the command table in order, then
  // "PING"; one failure guard over all of it. The replies go to `reply`.
  void DataReceived(std::string_view command, const ReplyContext& reply);

  AgentState& state() { return state_; }

 private:
  // The command table and its handlers (command_dispatcher.cpp).
  friend struct CommandTable;

  void Dispatch(std::string_view datagram, ReplyContext& reply);
  // Loads the settings and tells the server sink the server they name.
  void LoadSettings();

  // Runs one tick action so that its failure ends only that action.
  template <typename F>
  void Guarded(std::string_view what, F&& action);

  AgentState& state_;
  AgentActions& actions_;
  Replies& replies_;
  platform::LogSink log_;
  ServerSink server_;
};

// The "PROCESS LIST:" reply for a window list. A list longer than the room
// of one datagram is cut after the last whole entry that fits.
std::string ProcessListReply(const std::vector<std::string>& windows,
                             size_t room = platform::kMaxDatagram);

}  // namespace zalvo::agent
