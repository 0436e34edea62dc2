// The agent's threads: a receive loop that hands each datagram to the gate
// and what it admits to the dispatcher, and a worker that runs the tick. One mutex serialises the
// dispatcher, the tick and every send. Pausing stops the tick only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "agent/command_dispatcher.h"
#include "agent/command_gate.h"
#include "platform/datagram_socket.h"
#include "platform/service_host.h"
#include "protocol/commands.h"

namespace zalvo::agent {

struct RuntimeOptions {
  std::chrono::milliseconds tick{1000};
  uint16_t port = protocol::kCommandPort;
  // The local address the endpoint binds to; "0.0.0.0" for every address.
  std::string address = "0.0.0.0";
  // The receive queue asked for: deep enough to hold the server's commands
  // behind a burst of strangers' datagrams.
  int receive_buffer = 4 << 20;
};

class AgentRuntime final : public platform::ServiceHandlers {
 public:
  // The agent tells the gate the server after every load of the settings.
  AgentRuntime(CommandDispatcher& agent, CommandGate& gate, platform::DatagramSocket& socket,
               RuntimeOptions options, platform::LogSink log = {});
  ~AgentRuntime() override;
  AgentRuntime(const AgentRuntime&) = delete;
  AgentRuntime& operator=(const AgentRuntime&) = delete;

  // Binds the endpoint to the options' address and the command port (a port
  // in use throws PlatformError), asks for the receive queue, then starts the
  // receive loop and the worker.
  void Start() override;
  // Ends both threads, within about one tick, and waits for them.
  void Stop() override;
  // Stops the tick; returns once no tick runs (one begun is waited for).
  void Pause() override;
  void Continue() override;

 private:
  void ReceiveLoop();
  void WorkerLoop();
  bool Stopping();
  // Hands one admitted command to the dispatcher, under the agent's lock.
  void Dispatch(const CommandGate::Admitted& command);

  CommandDispatcher& agent_;
  CommandGate& gate_;
  platform::DatagramSocket& socket_;
  RuntimeOptions options_;
  platform::LogSink log_;

  std::mutex state_mutex_;  // the agent's state, the settings and the send path
  std::mutex control_mutex_;
  std::condition_variable control_changed_;
  bool stopping_ = false;
  bool paused_ = false;
  bool ticking_ = false;  // the worker has begun a tick and not ended it
  std::thread receiver_;
  std::thread worker_;
};

}  // namespace zalvo::agent
