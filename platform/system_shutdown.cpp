#include "platform/system_shutdown.h"

#include <string>

#include "platform/error.h"

namespace zalvo::platform {
namespace {

std::string Name(PowerOff what) {
  return what == PowerOff::kRestart ? "restart" : "shut-down";
}

}  // namespace

SystemShutdown::SystemShutdown(Machine& machine, LogSink log, ShutdownRetries retries,
                               bool log_taken, PendingShutdown* waiting)
    : machine_(machine),
      log_(std::move(log)),
      retries_(retries),
      log_taken_(log_taken),
      waiting_(waiting) {
  retries_.every = retries_.every < 1 ? 1 : retries_.every;
}

bool SystemShutdown::Request(PowerOff what) {
  pending_ = what;
  retries_left_ = retries_.times;
  calls_to_next_ = retries_.every;
  return Try();
}

void SystemShutdown::Retry() {
  if (!pending_ || --calls_to_next_ > 0) {
    return;
  }
  calls_to_next_ = retries_.every;
  retries_left_ -= 1;
  Try();
}

std::optional<PlatformError> SystemShutdown::Ask() {
  try {
    machine_.ShutDownSystem(*pending_);
  } catch (const PlatformError& e) {
    return e;
  }
  return std::nullopt;
}

bool SystemShutdown::Try() {
  const std::string name = Name(*pending_);
  if (!machine_.EnablePrivilege(kShutdownPrivilege)) {
    pending_.reset();
    log_(name + " not done: the account does not hold " + std::string(kShutdownPrivilege));
    return false;
  }
  std::optional<PlatformError> refused = Ask();
  // One that waits for its time-out (someone's `shutdown /r /t 600`) reads
  // as under way, yet may never come (`shutdown /a`): it is aborted, and
  // this one asked for at once. One that can't be aborted is under way.
  if (refused && refused->kind() == ErrorKind::kInUse && waiting_ != nullptr && waiting_->Abort()) {
    log_(name + " refused by Windows: " + refused->what() + " (error " +
         std::to_string(refused->code()) +
         "): a restart or shut-down waiting for its time-out was aborted and the " + name +
         " asked for again");
    refused = Ask();
  }
  if (refused) {
    const PlatformError& e = *refused;
    if (e.kind() == ErrorKind::kInUse) {
      pending_.reset();
      log_(name + ": a shut-down of Windows is already under way");
      return true;
    }
    std::string line =
        name + " refused by Windows: " + e.what() + " (error " + std::to_string(e.code()) + ")";
    if (retries_left_ > 0) {
      log_(line + "; asked again soon, at most " + std::to_string(retries_left_) + " more times");
    } else {
      pending_.reset();
      log_(line + (retries_.times > 0 ? "; not asked again" : ""));
    }
    return false;
  }
  pending_.reset();
  if (log_taken_) {
    log_(name + " of Windows under way");
  }
  return true;
}

}  // namespace zalvo::platform
