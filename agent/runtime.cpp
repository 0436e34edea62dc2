#include "agent/runtime.h"

#include <exception>
#include <string>
#include <vector>

namespace zalvo::agent {

namespace {

// Datagrams taken from the socket in one call.
constexpr size_t kBatch = 64;

}  // namespace

AgentRuntime::AgentRuntime(CommandDispatcher& agent, CommandGate& gate,
                           platform::DatagramSocket& socket, RuntimeOptions options,
                           platform::LogSink log)
    : agent_(agent), gate_(gate), socket_(socket), options_(options), log_(std::move(log)) {}

AgentRuntime::~AgentRuntime() {
  Stop();
}

void AgentRuntime::Start() {
  socket_.Bind(options_.address, options_.port);
  log_("listening on UDP " + options_.address + ":" + std::to_string(options_.port));
  try {
    int granted = socket_.SetReceiveBuffer(options_.receive_buffer);
    log_("receive queue of " + std::to_string(granted) + " bytes (asked for " +
         std::to_string(options_.receive_buffer) + ")");
  } catch (const std::exception& e) {
    log_(std::string("receive queue left as the system made it: ") + e.what());
  }
  log_(gate_.keyed() ? "commands are taken only in signed envelopes"
                     : "no command key: every datagram from the server's address acts");
  {
    std::lock_guard lock(control_mutex_);
    stopping_ = false;
    paused_ = false;
  }
  receiver_ = std::thread([this] { ReceiveLoop(); });
  worker_ = std::thread([this] { WorkerLoop(); });
}

void AgentRuntime::Stop() {
  {
    std::lock_guard lock(control_mutex_);
    stopping_ = true;
  }
  control_changed_.notify_all();
  socket_.Shutdown();
  if (receiver_.joinable()) {
    receiver_.join();
  }
  if (worker_.joinable()) {
    worker_.join();
  }
}

void AgentRuntime::Pause() {
  std::unique_lock lock(control_mutex_);
  paused_ = true;
  // Once paused, no tick runs: one already begun is waited for.
  control_changed_.wait(lock, [this] { return !ticking_; });
}

void AgentRuntime::Continue() {
  {
    std::lock_guard lock(control_mutex_);
    paused_ = false;
  }
  control_changed_.notify_all();
}

bool AgentRuntime::Stopping() {
  std::lock_guard lock(control_mutex_);
  return stopping_;
}

void AgentRuntime::ReceiveLoop() {
  std::vector<platform::ReceivedDatagram> batch;
  for (;;) {
    bool received = false;
    try {
      received = socket_.ReceiveBatch(batch, kBatch, -1);
    } catch (const std::exception& e) {
      log_(std::string("receive failed: ") + e.what());
      std::unique_lock lock(control_mutex_);
      if (control_changed_.wait_for(lock, options_.tick, [this] { return stopping_; })) {
        return;
      }
      continue;
    }
    if (!received) {
      if (Stopping()) {
        return;  // shut down
      }
      continue;
    }
    // The gate decides without the agent's lock and formats nothing for a
    // datagram it drops (but the first of a tick): a flood of strangers
    // never waits for, nor delays, the tick.
    const int64_t now = protocol::UnixNow();
    for (const platform::ReceivedDatagram& datagram : batch) {
      if (auto admitted = gate_.Admit(datagram, now)) {
        Dispatch(*admitted);
      }
    }
  }
}

void AgentRuntime::Dispatch(const CommandGate::Admitted& command) {
  std::lock_guard lock(state_mutex_);
  // A command that may restart Windows acts only once the mark that keeps
  // it from acting again after the restart is stored.
  if (!gate_.KeepMark(protocol::MayEndWindows(command.command))) {
    log_("command not carried out: it may restart Windows and the replay mark was not stored");
    return;
  }
  agent_.DataReceived(command.command, command.reply);
}

void AgentRuntime::WorkerLoop() {
  {
    std::lock_guard lock(state_mutex_);
    agent_.Startup();
  }
  for (;;) {
    {
      std::unique_lock lock(control_mutex_);
      if (control_changed_.wait_for(lock, options_.tick, [this] { return stopping_; })) {
        return;
      }
      // A paused worker runs no tick until it is continued or stopped.
      control_changed_.wait(lock, [this] { return stopping_ || !paused_; });
      if (stopping_) {
        return;
      }
      ticking_ = true;
    }
    {
      std::lock_guard lock(state_mutex_);
      gate_.EndTick();
      (void)gate_.KeepMark(false);
      agent_.Tick(gate_.Reports());
    }
    {
      std::lock_guard lock(control_mutex_);
      ticking_ = false;
    }
    control_changed_.notify_all();
  }
}

}  // namespace zalvo::agent
