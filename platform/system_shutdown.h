// Restarting and shutting Windows down as both programs do it: the shutdown
// privilege enabled in the process's own token, then the system's call. What
// happened is logged, a refusal with the system's reason; a refused request
// may be tried again a few times. Given the means, a request that Windows
// refuses because another one waits for its time-out aborts that one and is
// asked for again at once, so that nobody's scheduled shut-down holds it off.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "platform/error.h"
#include "platform/log_sink.h"
#include "platform/machine.h"
#include "platform/pending_shutdown.h"

namespace zalvo::platform {

inline constexpr std::string_view kShutdownPrivilege = "SeShutdownPrivilege";

// How often, and how soon, a refused request is tried again: once every
// `every` calls of SystemShutdown::Retry, at most `times` times.
struct ShutdownRetries {
  int times = 0;
  int every = 1;
};

class SystemShutdown {
 public:
  // A request Windows took is logged too when log_taken is set; a refusal
  // and a missing privilege always are. With `waiting`, a restart or
  // shut-down that waits for its time-out is aborted when it stands in the
  // way.
  SystemShutdown(Machine& machine, LogSink log, ShutdownRetries retries = {},
                 bool log_taken = false, PendingShutdown* waiting = nullptr);

  // Asks Windows for it now; it replaces a request still waiting for a
  // retry. True when Windows has taken it (or a shut-down is under way
  // already). Without the privilege nothing is asked and nothing retried.
  bool Request(PowerOff what);

  // Called periodically (the agent: every tick): tries a refused request
  // again when its turn has come.
  void Retry();

 private:
  bool Try();
  // Windows' refusal; nullopt when it took the request.
  std::optional<PlatformError> Ask();

  Machine& machine_;
  LogSink log_;
  ShutdownRetries retries_;
  bool log_taken_;
  PendingShutdown* waiting_;
  std::optional<PowerOff> pending_;
  int retries_left_ = 0;
  int calls_to_next_ = 0;
};

}  // namespace zalvo::platform
