// The lock screen's main window as other programs of its session find it:
// by its class, and only when its process runs the installed lock screen's
// own file (another program may make a window of that class). The service's
// session helper posts the lock order to it; a lock screen that finds its
// one-a-session mark taken looks for it to tell a running lock screen from
// a program that only holds the mark.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/console_session.h"

namespace zalvo::win32 {

inline constexpr wchar_t kLockScreenWindowClass[] = L"TMainForm";
// The class of its settings dialog, which the service's look recognises.
inline constexpr wchar_t kSettingsDialogClass[] = L"TPasswordForm";
// The registered window message of the lock order. It can only lock, so a
// program that posts it does no harm.
inline constexpr wchar_t kLockOrderMessage[] = L"Zalvo.LockScreen.Lock";

// Whether a main window of the lock screen runs on this thread's desktop in
// a process of the program file, other than the given process.
bool LockScreenWindowRuns(const std::wstring& program, uint32_t except_process);

// The lock order for the main windows of the program file on this thread's
// desktop. A window counts as showing the lock when it is shown and kept
// above the others.
std::unique_ptr<platform::LockScreenWindows> MakeLockScreenWindows(std::wstring program);

}  // namespace zalvo::win32
