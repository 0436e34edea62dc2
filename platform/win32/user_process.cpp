// The console user's token and the programs the service starts as that user
// on the interactive desktop: the session helper, through the launcher, and
// any other program of the agent's folder.
#include <windows.h>
// After windows.h.
#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/session_launcher_internal.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using platform::LaunchResult;
using Outcome = platform::LaunchResult::Outcome;

void DestroyEnvironment(void* environment) {
  ::DestroyEnvironmentBlock(environment);
}
using ScopedEnvironment = Scoped<void*, DestroyEnvironment>;

}  // namespace

StartedProcess StartAsUser(HANDLE token, const std::wstring& folder, const std::wstring& program,
                           const std::wstring& arguments, HANDLE channel) {
  void* raw_environment = nullptr;
  if (!CreateEnvironmentBlock(&raw_environment, token, FALSE)) {
    ThrowLastError("CreateEnvironmentBlock");
  }
  ScopedEnvironment environment(raw_environment);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  std::wstring desktop = L"winsta0\\default";
  startup.StartupInfo.lpDesktop = desktop.data();
  std::vector<char> attributes;
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;
  if (channel != nullptr) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = channel;
    startup.StartupInfo.hStdOutput = channel;
    startup.StartupInfo.hStdError = nullptr;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      ThrowLastError("InitializeProcThreadAttributeList");
    }
    startup.lpAttributeList = list;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &channel,
                                   sizeof channel, nullptr, nullptr)) {
      DWORD error = GetLastError();
      DeleteProcThreadAttributeList(list);
      ThrowError("UpdateProcThreadAttribute", error);
    }
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  std::wstring path = folder + L"\\" + program;
  std::wstring command_line = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessAsUserW(token, path.c_str(), command_line.data(), nullptr, nullptr,
                                      channel != nullptr, flags, environment.get(), folder.c_str(),
                                      &startup.StartupInfo, &info);
  DWORD error = GetLastError();
  if (startup.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(startup.lpAttributeList);
  }
  if (!started) {
    ThrowError("CreateProcessAsUser " + Narrow(path), error);
  }
  ScopedHandle thread(info.hThread);
  return {ScopedHandle(info.hProcess), info.dwProcessId};
}

namespace {

// Whether the process is marked critical to Windows (IsProcessCritical, from
// Windows 8.1; an older system keeps the answer no).
bool Critical(HANDLE process) {
  using IsProcessCriticalFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto is_critical =
      kernel == nullptr ? nullptr
                        : reinterpret_cast<IsProcessCriticalFunction>(
                              reinterpret_cast<void*>(GetProcAddress(kernel, "IsProcessCritical")));
  BOOL critical = FALSE;
  return is_critical != nullptr && is_critical(process, &critical) && critical;
}

class Win32SessionLauncher final : public platform::SessionLauncher {
 public:
  Win32SessionLauncher(std::wstring folder, std::wstring program)
      : folder_(std::move(folder)), program_(std::move(program)) {}

  std::optional<uint32_t> ConsoleSession() override {
    DWORD session = WTSGetActiveConsoleSessionId();
    if (session == kNoConsoleSession) {
      return std::nullopt;
    }
    return session;
  }

  LaunchResult Launch() override {
    LaunchResult result;
    ConsoleUser user = FindConsoleUser();
    result.outcome = user.outcome;
    result.reason = user.reason;
    if (user.outcome != Outcome::kStarted) {
      return result;
    }
    try {
      Channel channel = CreateChannel();
      StartedProcess started = StartAsUser(user.token.get(), folder_, program_, L"--session-helper",
                                           channel.helper_end.get());
      // Only the helper holds its end now: its exit closes the channel.
      channel.helper_end.reset();
      result.process =
          MakeWin32HelperProcess(std::move(started), user.session, std::move(channel.service_end));
    } catch (const platform::PlatformError& e) {
      result.outcome = Outcome::kFailed;
      result.reason = e.what();
    }
    return result;
  }

  std::optional<std::string> TerminateInSession(uint32_t session, uint32_t process_id,
                                                uint32_t exit_code) override {
    // Opened first: while the handle is open the id names this process only.
    ScopedHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) {
      return "OpenProcess: " + ErrorText(GetLastError());
    }
    DWORD process_session = kNoConsoleSession;
    if (!ProcessIdToSessionId(process_id, &process_session) || process_session != session) {
      return "it does not run in the console session";
    }
    HANDLE raw_token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &raw_token)) {
      return "its account can't be read: " + ErrorText(GetLastError());
    }
    ScopedHandle token(raw_token);
    std::optional<std::string> user = TokenUserSid(token.get());
    if (!user) {
      return "its account can't be read";
    }
    if (platform::SystemAccountSid(*user)) {
      return "it runs as one of the system's own accounts (" + *user + ")";
    }
    // The session's own system processes (its client/server runtime, its
    // log-on) are critical: ending one would stop Windows.
    if (Critical(process.get())) {
      return "it is critical to Windows";
    }
    if (!::TerminateProcess(process.get(), exit_code)) {
      return "TerminateProcess: " + ErrorText(GetLastError());
    }
    return std::nullopt;
  }

 private:
  std::wstring folder_;
  std::wstring program_;
};

}  // namespace

ConsoleUser FindConsoleUser() {
  ConsoleUser user;
  user.session = WTSGetActiveConsoleSessionId();
  if (user.session == kNoConsoleSession) {
    user.outcome = Outcome::kNobodyLoggedOn;
    return user;
  }
  HANDLE raw = nullptr;
  if (!WTSQueryUserToken(user.session, &raw)) {
    DWORD error = GetLastError();
    // No token: nobody logged on; not found: the session went meanwhile.
    if (error == ERROR_NO_TOKEN || error == ERROR_FILE_NOT_FOUND) {
      user.outcome = Outcome::kNobodyLoggedOn;
    } else {
      user.reason = "WTSQueryUserToken: " + ErrorText(error);
    }
    return user;
  }
  ScopedHandle impersonation(raw);
  HANDLE primary = nullptr;
  if (!DuplicateTokenEx(impersonation.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                        TokenPrimary, &primary)) {
    user.reason = "DuplicateTokenEx: " + ErrorText(GetLastError());
    return user;
  }
  user.token.reset(primary);
  user.outcome = Outcome::kStarted;
  return user;
}

// The text form of a token's user SID ("S-1-5-21-..."); nullopt when it
// can't be read.
std::optional<std::string> TokenUserSid(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    return std::nullopt;
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::nullopt;
  }
  ScopedLocal owned(text);
  return Narrow(text);
}

std::unique_ptr<platform::SessionLauncher> MakeWin32SessionLauncher(std::wstring folder,
                                                                    std::wstring program) {
  return std::make_unique<Win32SessionLauncher>(std::move(folder), std::move(program));
}

ConsoleStart StartInConsoleSession(const std::wstring& folder, const std::wstring& program,
                                   const std::wstring& arguments) {
  ConsoleStart start;
  ConsoleUser user = FindConsoleUser();
  start.outcome = user.outcome;
  start.session = user.session;
  start.reason = user.reason;
  if (user.outcome != Outcome::kStarted) {
    return start;
  }
  try {
    start.process_id =
        StartAsUser(user.token.get(), folder, program, arguments, nullptr).process_id;
  } catch (const platform::PlatformError& e) {
    start.outcome = Outcome::kFailed;
    start.reason = e.what();
  }
  return start;
}

}  // namespace zalvo::win32
