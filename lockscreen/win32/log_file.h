// The lock screen's log on Windows. Every line goes to the debugger
// (OutputDebugStringW, which a debugger or a debug-output viewer shows) and
// is appended, after the local time, to zalvoc.log in the temporary folder of
// the account the lock screen runs as (%TEMP%). That account is the
// customer's, often a standard user, who may write there but not in the
// program's own folder.
#pragma once

#include "lockscreen/lock_screen.h"

namespace zalvo::lockscreen::win32 {

// The log sink for the lock screen's logic. A file that has grown past
// 1 MiB is moved aside to zalvoc.old.log (replacing the one before) when the
// sink is made, at each program start. A line that can't be written to the
// file is lost; the debugger still gets it.
platform::LogSink MakeLog();

}  // namespace zalvo::lockscreen::win32
