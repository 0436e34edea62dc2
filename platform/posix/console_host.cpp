#include "platform/console_host.h"

#include <csignal>
#include <cstdio>
#include <exception>

namespace zalvo::platform {
namespace {

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

}  // namespace

void BlockServiceSignals() {
  sigset_t set = ServiceSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunInConsole(ServiceHandlers& handlers) {
  try {
    handlers.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Service failed on start: %s\n", e.what());
    return 1;
  }
  sigset_t set = ServiceSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) {
      continue;
    }
    try {
      if (signal == SIGUSR1) {
        handlers.Pause();
        std::fprintf(stdout, "paused\n");
      } else if (signal == SIGUSR2) {
        handlers.Continue();
        std::fprintf(stdout, "continued\n");
      } else {
        handlers.Stop();
        std::fprintf(stdout, "stopped\n");
        return 0;
      }
      std::fflush(stdout);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Service failed: %s\n", e.what());
    }
  }
}

}  // namespace zalvo::platform
