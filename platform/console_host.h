// Runs service handlers in the foreground of a console on Linux: Ctrl+C or
// SIGTERM stops, SIGUSR1 pauses and SIGUSR2 continues, as the service control
// manager's requests do on Windows (posix/console_host.cpp; the Windows
// programs run their console mode through win32/service_host.h).
#pragma once

#include "platform/service_host.h"

namespace zalvo::platform {

// Blocks the four signals in the calling thread; call it before any other
// thread starts, so that every thread inherits the mask.
void BlockServiceSignals();

// Starts the handlers and serves the signals until a stop. Returns the exit
// code: 0 after a stop, 1 when the start failed (the failure is printed).
int RunInConsole(ServiceHandlers& handlers);

}  // namespace zalvo::platform
