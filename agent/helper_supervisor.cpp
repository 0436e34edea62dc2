#include "agent/helper_supervisor.h"

#include <algorithm>
#include <array>
#include <exception>

#include "agent/hand_off_desktop.h"
#include "platform/error.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;
using std::chrono::milliseconds;

std::string Milliseconds(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<milliseconds>(d).count()) + " ms";
}

}  // namespace

HelperSupervisor::HelperSupervisor(platform::SessionLauncher& launcher, platform::LogSink log,
                                   HelperTimings timings, SteadyClock clock)
    : launcher_(launcher),
      log_(std::move(log)),
      timings_(timings),
      clock_(clock ? std::move(clock)
                   : SteadyClock([] { return std::chrono::steady_clock::now(); })) {}

HelperSupervisor::~HelperSupervisor() {
  EndHelper();
}

uint32_t HelperSupervisor::HelperProcessId() const {
  return process_ ? process_->ProcessId() : 0;
}

void HelperSupervisor::EndHelper() {
  if (process_) {
    try {
      process_->Terminate();
    } catch (const std::exception& e) {
      log_(std::string("session helper: ending it failed: ") + e.what());
    }
    process_.reset();
  }
  assembler_ = {};
  hello_ = false;
}

void HelperSupervisor::Fault(const std::string& what, bool logged) {
  uint32_t pid = HelperProcessId();
  EndHelper();
  backoff_.Failed(Now());
  std::string line = "session helper (process " + std::to_string(pid) + ") " + what;
  if (logged) {
    log_(line + "; it was ended, the next one starts " +
         (backoff_.Pause().count() == 0
              ? std::string("at the next need")
              : "in " + Milliseconds(backoff_.Pause()) + " at the earliest"));
  }
  throw platform::HelperFailure(line);
}

void HelperSupervisor::Misbehaved(const std::string& what) {
  const bool first = misbehaved_in_a_row_++ == 0;
  Fault(first ? what + " (more that do so are counted, not logged, until one serves again)" : what,
        first);
}

void HelperSupervisor::NoteServing() {
  if (Now() - started_ < timings_.stable) {
    return;
  }
  if (backoff_.failures_in_a_row() > 0) {
    backoff_.Succeeded();
  }
  if (misbehaved_in_a_row_ > 1) {
    log_("session helper serves again, after " + std::to_string(misbehaved_in_a_row_) +
         " in a row were ended for flooding their channel or missing their time");
  }
  misbehaved_in_a_row_ = 0;
}

void HelperSupervisor::LogEvent(const std::string& line) {
  EndEventMinute();
  if (events_logged_ < kEventLinesPerMinute) {
    ++events_logged_;
    log_(line);
  } else {
    ++events_left_out_;
  }
}

void HelperSupervisor::EndEventMinute() {
  const auto now = Now();
  if (now - event_minute_ < std::chrono::minutes(1)) {
    return;
  }
  if (events_left_out_ > 0) {
    log_("session helper: " + std::to_string(events_left_out_) +
         " more events in a minute were not logged");
  }
  event_minute_ = now;
  events_logged_ = 0;
  events_left_out_ = 0;
}

void HelperSupervisor::NoticeSessionChange() {
  uint64_t changes = session_changes_.load();
  bool changed = changes != session_changes_seen_;
  session_changes_seen_ = changes;
  std::optional<uint32_t> console = launcher_.ConsoleSession();
  if (process_ && (!console || *console != process_->SessionId())) {
    changed = true;
  }
  if (!changed) {
    return;
  }
  if (process_) {
    log_("session helper (process " + std::to_string(process_->ProcessId()) +
         ") ended: the console session changed");
    EndHelper();
  }
  backoff_.Succeeded();
  if (misbehaved_in_a_row_ > 1) {
    log_("session helper: " + std::to_string(misbehaved_in_a_row_) +
         " in a row were ended for flooding their channel or missing their time");
  }
  misbehaved_in_a_row_ = 0;
}

bool HelperSupervisor::EnsureHelper() {
  NoticeSessionChange();
  if (process_ && !process_->Running()) {
    // Started again at once unless it keeps dying.
    uint32_t pid = process_->ProcessId();
    EndHelper();
    backoff_.Failed(Now());
    log_("session helper (process " + std::to_string(pid) + ") ended by itself");
  }
  if (process_) {
    return true;
  }
  if (backoff_.Holds(Now())) {
    throw platform::HelperFailure(
        "the session helper failed " + std::to_string(backoff_.failures_in_a_row()) +
        " times in a row; the next start is in " + Milliseconds(backoff_.Left(Now())));
  }
  platform::LaunchResult launched = launcher_.Launch();
  switch (launched.outcome) {
    case platform::LaunchResult::Outcome::kNobodyLoggedOn:
      if (!nobody_logged_on_) {
        nobody_logged_on_ = true;
        skipped_logged_.clear();
        log_(
            "nobody is logged on at the console: the desktop actions do nothing until someone "
            "logs on");
      }
      return false;
    case platform::LaunchResult::Outcome::kFailed:
      backoff_.Failed(Now());
      log_("session helper could not be started: " + launched.reason);
      throw platform::HelperFailure("the session helper could not be started: " + launched.reason);
    case platform::LaunchResult::Outcome::kStarted:
      break;
  }
  process_ = std::move(launched.process);
  started_ = Now();
  hello_ = false;
  assembler_ = {};
  nobody_logged_on_ = false;
  log_("session helper started in session " + std::to_string(process_->SessionId()) +
       " as process " + std::to_string(process_->ProcessId()));
  return true;
}

void HelperSupervisor::Upkeep() {
  if (events_left_out_ > 0) {
    EndEventMinute();
  }
  try {
    if (EnsureHelper()) {
      TakeEvents();
    }
  } catch (const std::exception&) {
    // Logged where it happened; the next upkeep or need tries again.
  }
}

void HelperSupervisor::TakeEvents() {
  // What has arrived, without waiting: events, a hello, late answers; for
  // the upkeep's read time at most.
  const platform::Deadline give_up = Now() + timings_.upkeep_read;
  int frames = 0;
  while (std::optional<helper::Frame> frame = ReadFrame(Now(), give_up)) {
    if (++frames > kMaxFramesPerRead) {
      Misbehaved("flooded its channel: more than " + std::to_string(kMaxFramesPerRead) +
                 " frames in one tick");
    }
    if (!OwnFrame(*frame)) {
      if (frame->id > next_id_) {
        Fault("answered request " + std::to_string(frame->id) + " before it was asked");
      }
      // The late answer to a request given up while it started.
    }
  }
}

bool HelperSupervisor::OwnFrame(const helper::Frame& frame) {
  if (frame.kind == helper::kHelloKind) {
    if (hello_) {
      Fault("said hello twice");
    }
    hello_ = true;
    return true;
  }
  if (!hello_) {
    Fault("sent a frame before its hello");
  }
  if (frame.kind == helper::kEventKind) {
    if (frame.payload.size() > kMaxEventPayload) {
      Fault("sent an event of " + std::to_string(frame.payload.size()) + " bytes");
    }
    helper::Outcome outcome;
    try {
      outcome = helper::DecodeOutcome(frame.payload);
    } catch (const helper::FrameError& e) {
      Fault(std::string("sent a bad event: ") + e.what());
    }
    LogEvent(OutcomeLine(outcome));
    return true;
  }
  if (frame.kind != helper::kReplyKind) {
    Fault("sent a frame of kind " + std::to_string(frame.kind));
  }
  return false;
}

std::optional<helper::Frame> HelperSupervisor::ReadFrame(platform::Deadline wait_until,
                                                         platform::Deadline give_up) {
  for (;;) {
    std::optional<helper::Frame> frame;
    try {
      frame = assembler_.Next();
    } catch (const helper::FrameError& e) {
      Fault(std::string("sent a bad frame: ") + e.what());
    }
    if (frame) {
      return frame;
    }
    // Bytes that keep coming hold no one past the time given.
    if (Now() >= give_up) {
      return std::nullopt;
    }
    std::array<char, 4096> buffer{};
    std::optional<size_t> n;
    try {
      n = process_->Read(buffer.data(), buffer.size(), wait_until);
    } catch (const platform::PlatformError& e) {
      Fault(std::string("channel broke: ") + e.what());
    }
    if (!n) {
      return std::nullopt;
    }
    if (*n == 0) {
      Fault(assembler_.Partial() ? "closed its channel in the middle of a reply"
                                 : "closed its channel");
    }
    try {
      assembler_.Add(std::string_view(buffer.data(), *n));
    } catch (const helper::FrameError& e) {
      Fault(std::string("sent a bad frame: ") + e.what());
    }
  }
}

std::optional<std::string> HelperSupervisor::Call(helper::Op op, std::string_view fields) {
  if (!EnsureHelper()) {
    return std::nullopt;
  }
  const platform::Deadline deadline = Now() + timings_.answer;
  const uint32_t id = ++next_id_;
  bool written = false;
  try {
    written = process_->Write(helper::EncodeFrame(static_cast<uint8_t>(op), id, fields), deadline);
  } catch (const platform::PlatformError& e) {
    Fault(std::string("channel broke: ") + e.what());
  }
  if (!written) {
    Misbehaved("took no request within " + Milliseconds(timings_.answer));
  }
  int frames = 0;
  for (;;) {
    std::optional<helper::Frame> frame = ReadFrame(deadline, deadline);
    if (!frame) {
      if (!hello_ && Now() - started_ < timings_.start) {
        throw platform::HelperFailure("the session helper is still starting");
      }
      Misbehaved(hello_ ? "did not answer within " + Milliseconds(timings_.answer)
                        : "did not say hello within " + Milliseconds(timings_.start));
    }
    if (++frames > kMaxFramesPerRead) {
      Misbehaved("flooded its channel: more than " + std::to_string(kMaxFramesPerRead) +
                 " frames before its answer");
    }
    if (OwnFrame(*frame)) {
      continue;
    }
    if (frame->id < id) {
      continue;  // the late answer to a request given up while it started
    }
    if (frame->id != id) {
      Fault("answered request " + std::to_string(frame->id) + " before it was asked");
    }
    NoteServing();
    helper::FieldReader reader(frame->payload);
    uint8_t status = 0;
    try {
      status = reader.U8();
      if (status == static_cast<uint8_t>(helper::Status::kRefused)) {
        // The kind as the helper's platform translated it; the system's
        // number stays in the customer's session.
        const uint8_t kind = reader.U8();
        std::string reason = reader.Text();
        reader.Done();
        if (kind > static_cast<uint8_t>(platform::ErrorKind::kBroken)) {
          Fault("refused with an unknown kind " + std::to_string(kind));
        }
        throw platform::PlatformError(reason, static_cast<platform::ErrorKind>(kind));
      }
    } catch (const helper::FrameError& e) {
      Fault(std::string("sent a bad reply: ") + e.what());
    }
    if (status == static_cast<uint8_t>(helper::Status::kDone)) {
      return frame->payload.substr(1);
    }
    Fault(status == static_cast<uint8_t>(helper::Status::kUnknown)
              ? "does not know request " + std::to_string(static_cast<int>(op))
              : "answered with status " + std::to_string(status));
  }
}

bool HelperSupervisor::TerminateInConsoleSession(uint32_t process_id, uint32_t exit_code) {
  // The helper's own word is the customer's: it may name itself.
  if (process_id == HelperProcessId()) {
    log_("kill: process " + std::to_string(process_id) +
         " is not ended by the service: it is the session helper");
    return false;
  }
  std::optional<uint32_t> console = launcher_.ConsoleSession();
  if (!console) {
    return false;
  }
  std::optional<std::string> refusal =
      launcher_.TerminateInSession(*console, process_id, exit_code);
  if (refusal) {
    log_("kill: process " + std::to_string(process_id) +
         " is not ended by the service: " + *refusal);
  }
  return !refusal;
}

void HelperSupervisor::NoteSkipped(std::string_view action) {
  if (skipped_logged_.find(action) != skipped_logged_.end()) {
    return;
  }
  skipped_logged_.emplace(action);
  log_(std::string(action) + " not done: nobody is logged on at the console");
}

}  // namespace zalvo::agent
