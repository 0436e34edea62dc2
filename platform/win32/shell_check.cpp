// The console session as the service sees it for the lock screen: whether
// the user logged on there is the customer account, whether the lock screen
// runs in that session, and how far the user's log-on is.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cwctype>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/session_launcher_internal.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using Outcome = platform::LaunchResult::Outcome;

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

// Whether the user's own shell policy names the program's file.
bool HasShell(const std::string& sid, const std::wstring& file_name) {
  Win32Registry user = Win32Registry::WithUserHive(sid);
  auto key = user.Open(platform::Hive::kCurrentUser,
                       "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                       platform::Access::kRead);
  if (!key) {
    return false;
  }
  std::optional<std::string> shell;
  try {
    shell = key->ReadString("Shell");
  } catch (const platform::PlatformError&) {
    return false;  // not a string: no shell of ours
  }
  return shell && Lower(Widen(*shell)).find(Lower(file_name)) != std::wstring::npos;
}

std::wstring FileName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Whether the account is the customer account: the one the installer stored
// (its SID), or, when that SID is not known, the one whose own shell is the
// lock screen, as the installer makes it. The one place that tells the
// customer from the club's other accounts.
bool IsCustomerAccount(const std::string& sid, const std::optional<std::string>& customer_sid,
                       const std::wstring& lock_screen) {
  if (customer_sid) {
    return _wcsicmp(Widen(sid).c_str(), Widen(*customer_sid).c_str()) == 0;
  }
  return HasShell(sid, FileName(lock_screen));
}

// Whether a process of the session runs the program file. Only processes
// of its file name are asked (a copy of it under another name counts as
// missing, and a new start of it ends as a second one).
bool RunsInSession(const std::wstring& program, DWORD session) {
  return !ProcessesOfFile(program, session).empty();
}

void FreeWtsMemory(void* memory) {
  ::WTSFreeMemory(memory);
}
using ScopedWtsMemory = Scoped<void*, FreeWtsMemory>;

// How long ago the session's user logged on; nullopt when the system does
// not say.
std::optional<uint64_t> LogonAgeMs(DWORD session) {
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSSessionInfo, &buffer,
                                   &bytes)) {
    return std::nullopt;
  }
  ScopedWtsMemory owned(buffer);
  if (buffer == nullptr || bytes < sizeof(WTSINFOW)) {
    return std::nullopt;
  }
  const LONGLONG logon = reinterpret_cast<const WTSINFOW*>(buffer)->LogonTime.QuadPart;
  FILETIME now_time{};
  GetSystemTimeAsFileTime(&now_time);
  ULARGE_INTEGER now{};
  now.LowPart = now_time.dwLowDateTime;
  now.HighPart = now_time.dwHighDateTime;
  if (logon <= 0) {
    return std::nullopt;
  }
  const auto since = static_cast<ULONGLONG>(logon);
  return now.QuadPart <= since ? 0 : (now.QuadPart - since) / 10000;  // 100 ns units
}

std::wstring SystemProgram(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(folder, n) + L"\\" + name;
}

}  // namespace

std::vector<DWORD> ProcessesOfFile(const std::wstring& program, DWORD session) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    throw platform::PlatformError("CreateToolhelp32Snapshot: " + ErrorText(GetLastError()));
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  const std::wstring wanted = Lower(FileName(program));
  std::vector<DWORD> found;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    DWORD in_session = kNoConsoleSession;
    if (Lower(entry.szExeFile) == wanted &&
        ProcessIdToSessionId(entry.th32ProcessID, &in_session) && in_session == session &&
        ProcessRunsFile(entry.th32ProcessID, program)) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}

ConsoleShellLook LookAtConsoleShell(const std::wstring& lock_screen,
                                    const std::optional<std::string>& customer_sid) {
  ConsoleShellLook look;
  ConsoleUser user = FindConsoleUser();
  if (user.outcome == Outcome::kNobodyLoggedOn) {
    return look;
  }
  if (user.outcome != Outcome::kStarted) {
    throw platform::PlatformError(user.reason);
  }
  look.session = user.session;
  look.sid = TokenUserSid(user.token.get());
  if (!look.sid) {
    throw platform::PlatformError("the console user's SID can't be read");
  }
  look.customer_logged_on = IsCustomerAccount(*look.sid, customer_sid, lock_screen);
  if (!look.customer_logged_on) {
    return look;
  }
  look.running = RunsInSession(lock_screen, user.session);
  if (!look.running) {
    // Only a start asks how far the log-on is.
    look.logon_age_ms = LogonAgeMs(user.session);
    const std::wstring userinit = SystemProgram(L"userinit.exe");
    look.userinit_running = !userinit.empty() && RunsInSession(userinit, user.session);
  }
  return look;
}

}  // namespace zalvo::win32
