// The look at the lock screen's cover from inside the customer's session,
// made by the service's own process there ("zalvos.exe --lock-check",
// started by the service with its own token moved into that session, so
// that the customer can neither open nor steer it; it has no window for
// anyone to send a message to). It answers each request of the service on
// its channel with one look (platform::EncodeCoverLook).
#pragma once

#include <string>

#include "platform/lock_cover.h"
#include "platform/win32/session_launcher.h"

namespace zalvo::win32 {

// What the customer sees, looked at on this thread's desktop: whether that
// desktop has the input, whether the window at the centre and at each
// corner of every monitor is one of a process of the lock screen's file,
// and whether that lock screen answers a message within a second; and
// whether the lock screen has its main window and shows its settings
// dialog.
platform::CoverLook LookAtCover(const std::wstring& lock_screen);

// The checker's loop: a look for each line the service writes, until the
// service closes the channel. Returns the process's exit code.
int ServeCoverLooks(HelperChannelEnd channel, const std::wstring& lock_screen);

}  // namespace zalvo::win32
