// What the files of the session launcher share (user_process.cpp,
// helper_pipe.cpp, customer_hive.cpp, shell_check.cpp, lock_cover.cpp): the
// console user's token, a process started with a token in the console
// session, the processes of a program file in a session and the helper's
// channel. Only those files include it.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/session_launcher.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

// The primary token of the user logged on in the console session, or why
// there is none.
struct ConsoleUser {
  platform::LaunchResult::Outcome outcome = platform::LaunchResult::Outcome::kFailed;
  DWORD session = kNoConsoleSession;
  ScopedHandle token;
  std::string reason;
};
ConsoleUser FindConsoleUser();

// The text form of a token's user SID ("S-1-5-21-..."); nullopt when it
// can't be read.
std::optional<std::string> TokenUserSid(HANDLE token);

struct StartedProcess {
  ScopedHandle process;
  DWORD process_id = 0;
};

// Starts "<folder>\<program> <arguments>" with the primary token, in the
// token's session, on the interactive desktop (winsta0\default), without a
// console window. A channel handle, when given, becomes its standard input
// and output and is the only handle it inherits. Throws PlatformError.
StartedProcess StartAsUser(HANDLE token, const std::wstring& folder, const std::wstring& program,
                           const std::wstring& arguments, HANDLE channel);

// The processes of the session that run the program file (a copy of it
// under another name is not looked at).
std::vector<DWORD> ProcessesOfFile(const std::wstring& program, DWORD session);

// The service's end of a new channel (overlapped) and the helper's end
// (inheritable), a pipe that only the service's own account may open.
struct Channel {
  ScopedHandle service_end;
  ScopedHandle helper_end;
};
Channel CreateChannel();

// The service's hold on a started helper: the process and the service's end
// of its channel.
std::unique_ptr<platform::HelperProcess> MakeWin32HelperProcess(StartedProcess process,
                                                                DWORD session, ScopedHandle pipe);

}  // namespace zalvo::win32
