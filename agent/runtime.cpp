#include "agent/runtime.h"

#include <exception>
#include <string>

namespace zalvo::agent {

AgentRuntime::AgentRuntime(Agent& agent, platform::DatagramSocket& socket, RuntimeOptions options,
                           LogSink log)
    : agent_(agent), socket_(socket), options_(options), log_(std::move(log)) {}

AgentRuntime::~AgentRuntime() {
  Stop();
}

void AgentRuntime::Start() {
  socket_.Bind(options_.address, options_.port);
  if (log_) {
    log_("listening on UDP " + options_.address + ":" + std::to_string(options_.port));
  }
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

void AgentRuntime::ReceiveLoop() {
  for (;;) {
    std::optional<platform::ReceivedDatagram> datagram;
    try {
      datagram = socket_.Receive(-1);
    } catch (const std::exception& e) {
      if (log_) {
        log_(std::string("receive failed: ") + e.what());
      }
      std::unique_lock lock(control_mutex_);
      if (control_changed_.wait_for(lock, options_.tick, [this] { return stopping_; })) {
        return;
      }
      continue;
    }
    if (!datagram) {
      return;  // shut down
    }
    std::lock_guard lock(state_mutex_);
    agent_.DataReceived(datagram->byte_count, datagram->bytes, datagram->from_ip,
                        datagram->from_port);
  }
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
      agent_.Tick();
    }
    {
      std::lock_guard lock(control_mutex_);
      ticking_ = false;
    }
    control_changed_.notify_all();
  }
}

}  // namespace zalvo::agent
