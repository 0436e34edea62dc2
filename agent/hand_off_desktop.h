// A desktop's shell and presence whose actions that may wait on other
// programs are carried out off the caller's thread, so that the caller
// answers at once:
//
// - a program start, which waits while a UAC prompt, the downloaded-file
//   warning, SmartScreen or an error of the shell waits for the person at
//   the station: each runs on a thread of its own, at most kMaxPendingStarts
//   at a time (a start beyond them is refused);
// - the monitor-power message, on one thread of its own; a monitor state not
//   yet sent is replaced by a newer one.
//
// What became of each start, and of a monitor message that failed, goes to
// the outcome sink, from the worker's thread. The rest of the presence goes
// straight to the desktop's, which must take calls from several threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/presence.h"
#include "platform/shell.h"
#include "protocol/helper_codec.h"

namespace zalvo::agent {

// The line of the log for an outcome ("run: C:\x.exe started").
std::string OutcomeLine(const protocol::helper::Outcome& outcome);

class HandOffDesktop final : public platform::Shell, public platform::Presence {
 public:
  static constexpr size_t kMaxPendingStarts = 4;
  using OutcomeSink = std::function<void(const protocol::helper::Outcome&)>;

  HandOffDesktop(platform::Shell& shell, platform::Presence& presence, OutcomeSink sink);
  // Waits for the starts and the message under way; messages still waiting
  // are dropped.
  ~HandOffDesktop() override;
  HandOffDesktop(const HandOffDesktop&) = delete;
  HandOffDesktop& operator=(const HandOffDesktop&) = delete;

  // kHandedOff, or PlatformError when kMaxPendingStarts wait already.
  Start ShellOpen(const std::string& file, const std::string& parameters,
                  const std::string& directory, int show_command) override;
  void BroadcastMonitorPower(int32_t state) override;

  bool LockWorkStation() override { return presence_.LockWorkStation(); }
  void SetCursorPosition(int32_t x, int32_t y) override { presence_.SetCursorPosition(x, y); }
  void MessageBeep(uint32_t type) override { presence_.MessageBeep(type); }
  // At once: the desktop keeps the window on a thread of its own.
  bool ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) override {
    return presence_.ShowMessage(text, shown_for);
  }

 private:
  void SendMonitorStates();
  void Tell(const protocol::helper::Outcome& outcome);

  platform::Shell& shell_;
  platform::Presence& presence_;
  OutcomeSink sink_;

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t starts_ = 0;  // under way
  std::list<std::thread> start_threads_;
  std::list<std::thread::id> finished_;  // start threads to be joined
  std::optional<int32_t> monitor_;       // the newest monitor state not yet sent
  bool stopping_ = false;
  std::thread monitor_thread_;
};

}  // namespace zalvo::agent
