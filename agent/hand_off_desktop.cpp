#include "agent/hand_off_desktop.h"

#include <algorithm>
#include <exception>

#include "platform/error.h"

namespace zalvo::agent {
namespace {

using protocol::helper::Outcome;

std::string MonitorState(int32_t state) {
  return state == platform::kMonitorOff  ? "off"
         : state == platform::kMonitorOn ? "on"
                                         : std::to_string(state);
}

}  // namespace

std::string OutcomeLine(const Outcome& outcome) {
  // The texts may come from the customer's session: one line, whatever they hold.
  auto one_line = [](std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return text;
  };
  const std::string subject = one_line(outcome.subject);
  const std::string failure =
      " (error " + std::to_string(outcome.code) + "): " + one_line(outcome.reason);
  switch (outcome.action) {
    case Outcome::Action::kProgramStart:
      return "run: " + subject + (outcome.done ? " started" : " not started" + failure);
    case Outcome::Action::kMonitorPower:
      return "monitor " + subject + (outcome.done ? " sent" : " failed" + failure);
  }
  return "an action ended";
}

HandOffDesktop::HandOffDesktop(platform::Shell& shell, platform::Presence& presence,
                               OutcomeSink sink)
    : shell_(shell), presence_(presence), sink_(std::move(sink)) {}

HandOffDesktop::~HandOffDesktop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (monitor_thread_.joinable()) {
    monitor_thread_.join();
  }
  // A start waits for its prompt's answer: the person at the station decides.
  for (std::thread& start : start_threads_) {
    start.join();
  }
}

void HandOffDesktop::Tell(const Outcome& outcome) {
  if (sink_) {
    sink_(outcome);
  }
}

platform::Shell::Start HandOffDesktop::ShellOpen(const std::string& file,
                                                 const std::string& parameters,
                                                 const std::string& directory, int show_command) {
  std::lock_guard lock(mutex_);
  // The threads of starts that are over.
  for (auto it = start_threads_.begin(); it != start_threads_.end();) {
    auto done = std::find(finished_.begin(), finished_.end(), it->get_id());
    if (done == finished_.end()) {
      ++it;
      continue;
    }
    finished_.erase(done);
    it->join();  // it has nothing left to do but return
    it = start_threads_.erase(it);
  }
  if (starts_ >= kMaxPendingStarts) {
    throw platform::PlatformError(std::to_string(starts_) +
                                  " program starts still wait for the customer's desktop (a "
                                  "prompt may wait for an answer there)");
  }
  starts_ += 1;
  start_threads_.emplace_back([this, file, parameters, directory, show_command] {
    Outcome outcome{Outcome::Action::kProgramStart, file, false, 0, ""};
    try {
      (void)shell_.ShellOpen(file, parameters, directory, show_command);
      outcome.done = true;
    } catch (const platform::PlatformError& e) {
      outcome.code = e.code();
      outcome.reason = e.what();
    } catch (const std::exception& e) {
      outcome.reason = e.what();
    }
    Tell(outcome);
    std::lock_guard done(mutex_);
    starts_ -= 1;
    finished_.push_back(std::this_thread::get_id());
  });
  return Start::kHandedOff;
}

void HandOffDesktop::BroadcastMonitorPower(int32_t state) {
  {
    std::lock_guard lock(mutex_);
    monitor_ = state;
    if (!monitor_thread_.joinable()) {
      monitor_thread_ = std::thread([this] { SendMonitorStates(); });
    }
  }
  changed_.notify_all();
}

void HandOffDesktop::SendMonitorStates() {
  for (;;) {
    int32_t state = 0;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || monitor_; });
      if (stopping_) {
        return;
      }
      state = *monitor_;
      monitor_.reset();
    }
    try {
      presence_.BroadcastMonitorPower(state);
    } catch (const platform::PlatformError& e) {
      Tell({Outcome::Action::kMonitorPower, MonitorState(state), false, e.code(), e.what()});
    } catch (const std::exception& e) {
      Tell({Outcome::Action::kMonitorPower, MonitorState(state), false, 0, e.what()});
    }
  }
}

}  // namespace zalvo::agent
