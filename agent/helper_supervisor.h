// The service's side of the session helper: which helper runs, asking it one
// request at a time, and its life.
//
// - A helper is started in the console session on the first need, and by the
//   tick's upkeep, when someone is logged on there. With nobody logged on no
//   helper runs and a request answers "nobody" (the caller then does nothing
//   and says so in the log, once per kind of action until someone logs on).
// - A helper that has said hello answers every request within the answer
//   bound; one that doesn't, that closes its channel, sends what the channel
//   does not allow or dies, is ended, and the request fails with
//   HelperFailure. The next need starts a new one: at once after a first
//   fault, then after a back-off that doubles with every fault in a row (a
//   crash loop can't spin), cleared once a helper has served for a while.
// - A change of the console session (a log-on, a log-off, a console
//   connected or disconnected, or simply another session at the console)
//   ends the helper of the old session and clears the back-off.
// - A new helper must say hello within the start bound. A request that comes
//   while it is still starting waits only the answer bound and then fails,
//   without ending the helper; its late reply is recognised by its number
//   and dropped.
// - What became of an action the helper answered before it was done (a
//   program start, a window message that failed) arrives as an event: it is
//   logged when it is read, during a request or at the tick's upkeep.
// - The helper runs as the customer, who can steer it: what it sends is
//   untrusted input. Every frame is bounded (an event far below a reply);
//   an upkeep, and a request while it waits for its answer, take at most
//   kMaxFramesPerRead frames, and an upkeep reads for at most its read time;
//   a request's deadline holds after every frame. A helper that sends more
//   (a flood) or misses a deadline (an overrun) is ended and replaced like
//   any other fault, but logged once for a run of such helpers: the first in
//   full, the count when one serves again. Event lines are logged at most
//   kEventLinesPerMinute a minute, the rest counted, so that no flood pushes
//   the log's history out.
//
// Call, Upkeep and TerminateInConsoleSession run under the agent's one lock;
// SessionChanged may come from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "agent/restart_backoff.h"
#include "platform/log_sink.h"
#include "platform/session_launcher.h"
#include "protocol/helper_codec.h"
#include "protocol/helper_ops.h"

namespace zalvo::agent {

struct HelperTimings {
  // Far more than the helper needs: it answers every request at once
  // (protocol/helper_ops.h gives each one's worst case).
  std::chrono::milliseconds answer{2000};
  std::chrono::milliseconds start{10000};
  std::chrono::milliseconds first_backoff{1000};
  std::chrono::milliseconds max_backoff{60000};
  std::chrono::milliseconds stable{30000};
  // The most an upkeep spends reading what the helper sent.
  std::chrono::milliseconds upkeep_read{100};
};

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

class HelperSupervisor {
 public:
  // Far more frames than a helper sends in a tick or while it answers (an
  // event for each finished program start or monitor message, a late
  // answer); more is a flood.
  static constexpr int kMaxFramesPerRead = 32;
  // An event tells a program's path and the system's reason.
  static constexpr size_t kMaxEventPayload = 4096;
  static constexpr int kEventLinesPerMinute = 10;

  HelperSupervisor(platform::SessionLauncher& launcher, platform::LogSink log = {},
                   HelperTimings timings = {}, SteadyClock clock = {});
  ~HelperSupervisor();
  HelperSupervisor(const HelperSupervisor&) = delete;
  HelperSupervisor& operator=(const HelperSupervisor&) = delete;

  // The helper's reply to one request of the operation
  // (protocol/helper_ops.h); nullopt when nobody is logged on at the
  // console. A refusal of the system in the customer's session throws
  // PlatformError; a helper that failed, whose reply does not read as the
  // operation's, or none that could be started, throws HelperFailure.
  template <typename Operation>
  std::optional<typename Operation::Reply> Ask(const typename Operation::Request& request = {}) {
    std::optional<std::string> fields = Call(Operation::kOp, protocol::helper::Encode(request));
    if (!fields) {
      return std::nullopt;
    }
    try {
      return protocol::helper::Decode<typename Operation::Reply>(*fields);
    } catch (const protocol::helper::FrameError& e) {
      BadAnswer(e.what());
    }
  }

  // The console session changed; the next use ends the old helper.
  void SessionChanged() { session_changes_.fetch_add(1); }

  // Starts a helper when none runs, someone is logged on and no back-off
  // holds; notices one that died; logs the events that have arrived. Never
  // throws: what fails is logged.
  void Upkeep();

  // Ends a process of the console session from the service's own account
  // (for a process the customer's rights can't end). The process id comes
  // from the helper, which the customer can steer: the helper itself is
  // refused here, and the launcher refuses a process outside the console
  // session or of the system's own accounts. False (and logged) when it was
  // refused or could not be ended, or there is no console session.
  bool TerminateInConsoleSession(uint32_t process_id, uint32_t exit_code);

  // Logs, once per kind until someone logs on again, that an action was not
  // done because nobody is logged on at the console.
  void NoteSkipped(std::string_view action);

  // An answer that the service can't take (its fields read, but hold what
  // can't be): the helper is ended and replaced, and HelperFailure thrown.
  [[noreturn]] void BadAnswer(const std::string& what) { Fault("sent a bad answer: " + what); }

  // The running helper's process id; 0 when none runs.
  uint32_t HelperProcessId() const;

 private:
  // The fields of the helper's reply, after its status; nullopt when nobody
  // is logged on. Throws as Ask does.
  std::optional<std::string> Call(protocol::helper::Op op, std::string_view fields);
  // True when a helper runs (started now if need be); false when nobody is
  // logged on. Throws HelperFailure while a back-off holds or when the start
  // failed.
  bool EnsureHelper();
  void NoticeSessionChange();
  // The next whole frame: reads wait for bytes until `wait_until`, and no
  // read begins once `give_up` has passed (nullopt then, and when nothing
  // came in time).
  std::optional<protocol::helper::Frame> ReadFrame(platform::Deadline wait_until,
                                                   platform::Deadline give_up);
  // A hello or an event, taken care of here; false for a reply.
  bool OwnFrame(const protocol::helper::Frame& frame);
  void TakeEvents();
  // Ends the helper, counts the fault for the back-off, logs it (unless
  // `logged` is false) and throws HelperFailure.
  [[noreturn]] void Fault(const std::string& what, bool logged = true);
  // A flood or an overrun: a fault logged once for a run of them.
  [[noreturn]] void Misbehaved(const std::string& what);
  // The helper has answered a request and has served long enough: the
  // back-off and a run of misbehaving helpers are over.
  void NoteServing();
  // Event lines, at most kEventLinesPerMinute a minute; how many more there
  // were is logged once the minute is over (by the next event or upkeep).
  void LogEvent(const std::string& line);
  void EndEventMinute();
  void EndHelper();
  std::chrono::steady_clock::time_point Now() const { return clock_(); }

  platform::SessionLauncher& launcher_;
  platform::LogSink log_;
  HelperTimings timings_;
  SteadyClock clock_;

  std::unique_ptr<platform::HelperProcess> process_;
  protocol::helper::FrameAssembler assembler_;
  std::chrono::steady_clock::time_point started_{};
  bool hello_ = false;
  uint32_t next_id_ = 0;

  // The first fault restarts at the next need; each further one in a row
  // waits twice as long as the one before, up to the limit.
  RestartBackoff backoff_{2, timings_.first_backoff, timings_.max_backoff};

  std::atomic<uint64_t> session_changes_{0};
  uint64_t session_changes_seen_ = 0;

  bool nobody_logged_on_ = false;
  std::set<std::string, std::less<>> skipped_logged_;

  // Helpers ended in a row for a flood or an overrun; only the first was
  // logged.
  int misbehaved_in_a_row_ = 0;
  // The minute of event lines: its start, lines logged, lines left out.
  std::chrono::steady_clock::time_point event_minute_{};
  int events_logged_ = 0;
  uint64_t events_left_out_ = 0;
};

}  // namespace zalvo::agent
