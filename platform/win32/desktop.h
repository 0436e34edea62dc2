// The Windows session through user32, advapi32, kernel32 and shell32, as
// the session the calling process runs in sees it.
#pragma once

#include <memory>

#include "platform/desktop.h"
#include "platform/pending_shutdown.h"

namespace zalvo::win32 {

std::unique_ptr<platform::Desktop> MakeWin32Desktop();

// The restart or shut-down that waits for its time-out, aborted from this
// process (which must enable the shutdown privilege first).
std::unique_ptr<platform::PendingShutdown> MakeWin32PendingShutdown();

}  // namespace zalvo::win32
