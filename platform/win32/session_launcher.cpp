#include "platform/win32/session_launcher.h"

#include <windows.h>
// After windows.h.
#include <sddl.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <vector>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using platform::LaunchResult;
using Outcome = platform::LaunchResult::Outcome;

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr DWORD kPipeBuffer = 64 * 1024;

void FreeLocal(void* memory) {
  ::LocalFree(memory);
}
using ScopedLocal = Scoped<void*, FreeLocal>;

// The primary token of the user logged on in the console session, or why
// there is none.
struct ConsoleUser {
  Outcome outcome = Outcome::kFailed;
  DWORD session = kNoConsoleSession;
  ScopedHandle token;
  std::string reason;
};

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

// The service's end of a new channel (overlapped) and the helper's end
// (inheritable), a pipe that only the service's own account may open.
struct Channel {
  ScopedHandle service_end;
  ScopedHandle helper_end;
};

Channel CreateChannel() {
  HANDLE own_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own_token)) {
    ThrowLastError("OpenProcessToken");
  }
  ScopedHandle token(own_token);
  std::optional<std::string> sid = TokenUserSid(token.get());
  if (!sid) {
    ThrowLastError("reading the service's own account");
  }
  std::wstring sddl = L"D:P(A;;GA;;;" + Widen(*sid) + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    ThrowLastError("ConvertStringSecurityDescriptorToSecurityDescriptor");
  }
  ScopedLocal owned_descriptor(descriptor);
  SECURITY_ATTRIBUTES own_only{sizeof own_only, descriptor, FALSE};

  static std::atomic<uint32_t> counter{0};
  std::wstring name = L"\\\\.\\pipe\\zalvo-helper-" + std::to_wstring(GetCurrentProcessId()) +
                      L"-" + std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount64());
  Channel channel;
  HANDLE server = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBuffer,
      kPipeBuffer, 0, &own_only);
  if (server == INVALID_HANDLE_VALUE) {
    ThrowLastError("CreateNamedPipe");
  }
  channel.service_end.reset(server);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  // Overlapped, so that the helper's threads may write events while its
  // main thread waits to read (a handle for synchronous I/O does one
  // transfer at a time).
  HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    ThrowLastError("opening the helper's end of its channel");
  }
  channel.helper_end.reset(client);
  // Opened above, so already connected.
  if (!ConnectNamedPipe(server, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    ThrowLastError("ConnectNamedPipe");
  }
  return channel;
}

void DestroyEnvironment(void* environment) {
  ::DestroyEnvironmentBlock(environment);
}
using ScopedEnvironment = Scoped<void*, DestroyEnvironment>;

struct StartedProcess {
  ScopedHandle process;
  DWORD process_id = 0;
};

// Starts the program as the token's user on the interactive desktop. A
// channel handle, when given, becomes its standard input and output and is
// the only handle it inherits.
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

DWORD MillisecondsUntil(platform::Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

bool Broken(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

class Win32HelperProcess final : public platform::HelperProcess {
 public:
  Win32HelperProcess(StartedProcess process, DWORD session, ScopedHandle pipe)
      : process_(std::move(process.process)),
        process_id_(process.process_id),
        session_(session),
        pipe_(std::move(pipe)),
        event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event_) {
      ThrowLastError("CreateEvent");
    }
  }
  ~Win32HelperProcess() override { Terminate(); }
  Win32HelperProcess(const Win32HelperProcess&) = delete;
  Win32HelperProcess& operator=(const Win32HelperProcess&) = delete;

  bool Write(std::string_view bytes, platform::Deadline deadline) override {
    std::string copy(bytes);
    size_t done = 0;
    while (done < copy.size()) {
      std::optional<size_t> n = Transfer(true, copy.data() + done, copy.size() - done, deadline);
      if (!n) {
        return false;
      }
      if (*n == 0) {
        throw platform::PlatformError("the session helper's channel is closed");
      }
      done += *n;
    }
    return true;
  }

  std::optional<size_t> Read(char* data, size_t size, platform::Deadline deadline) override {
    return Transfer(false, data, size, deadline);
  }

  bool Running() override {
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
  }

  void Terminate() override {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 1000);
    }
    pipe_.reset();
  }

  uint32_t ProcessId() const override { return process_id_; }
  uint32_t SessionId() const override { return session_; }

 private:
  // One overlapped read or write, given up at the deadline. nullopt: the
  // deadline passed; 0: the other end is closed.
  std::optional<size_t> Transfer(bool write, char* data, size_t size, platform::Deadline deadline) {
    if (!pipe_) {
      return 0;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, kPipeBuffer));
    BOOL done = write ? WriteFile(pipe_.get(), data, chunk, &n, &overlapped)
                      : ReadFile(pipe_.get(), data, chunk, &n, &overlapped);
    if (done) {
      return n;
    }
    DWORD error = GetLastError();
    if (Broken(error)) {
      return 0;
    }
    if (error != ERROR_IO_PENDING) {
      ThrowError(write ? "WriteFile" : "ReadFile", error);
    }
    bool in_time = WaitForSingleObject(event_.get(), MillisecondsUntil(deadline)) == WAIT_OBJECT_0;
    if (!in_time) {
      CancelIoEx(pipe_.get(), &overlapped);
    }
    // Waits for the cancel too: the record lives on this stack.
    if (GetOverlappedResult(pipe_.get(), &overlapped, &n, TRUE)) {
      return n;
    }
    error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED) {
      return std::nullopt;
    }
    if (Broken(error)) {
      return 0;
    }
    ThrowError(write ? "WriteFile" : "ReadFile", error);
  }

  ScopedHandle process_;
  DWORD process_id_;
  DWORD session_;
  ScopedHandle pipe_;
  ScopedHandle event_;
};

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
      result.process = std::make_unique<Win32HelperProcess>(std::move(started), user.session,
                                                            std::move(channel.service_end));
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

namespace {

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
  HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) {
    throw platform::PlatformError("CreateToolhelp32Snapshot: " + ErrorText(GetLastError()));
  }
  ScopedHandle snapshot(raw);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  const std::wstring wanted = Lower(FileName(program));
  for (BOOL more = Process32FirstW(raw, &entry); more; more = Process32NextW(raw, &entry)) {
    DWORD in_session = kNoConsoleSession;
    if (Lower(entry.szExeFile) == wanted &&
        ProcessIdToSessionId(entry.th32ProcessID, &in_session) && in_session == session &&
        ProcessRunsFile(entry.th32ProcessID, program)) {
      return true;
    }
  }
  return false;
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

std::optional<std::string> ConsoleUserSid() {
  ConsoleUser user = FindConsoleUser();
  if (user.outcome == Outcome::kNobodyLoggedOn) {
    return std::nullopt;
  }
  if (user.outcome != Outcome::kStarted) {
    throw platform::PlatformError(user.reason);
  }
  std::optional<std::string> sid = TokenUserSid(user.token.get());
  if (!sid) {
    throw platform::PlatformError("the console user's SID can't be read");
  }
  return sid;
}

bool UserHiveLoaded(const std::string& sid) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, Widen(sid).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ScopedKey owned(key);
  return true;
}

std::optional<std::string> LookUpAccountSid(std::string_view account) {
  std::wstring name = Widen(account);
  DWORD sid_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use{};
  LookupAccountNameW(nullptr, name.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) {
    return std::nullopt;
  }
  std::vector<BYTE> sid(sid_size);
  std::vector<wchar_t> domain(domain_size + 1);
  if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sid_size, domain.data(), &domain_size,
                          &use) ||
      use != SidTypeUser) {
    return std::nullopt;
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid.data(), &text)) {
    return std::nullopt;
  }
  ScopedLocal owned(text);
  return Narrow(text);
}

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) {
    return "";
  }
  return Narrow(std::wstring_view(name, size));
}

std::optional<HelperChannelEnd> HelperChannelEnd::FromStandardHandles() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  // The service gives one duplex pipe as both; anything else was not it.
  if (in == nullptr || in == INVALID_HANDLE_VALUE || in != out ||
      GetFileType(in) != FILE_TYPE_PIPE) {
    return std::nullopt;
  }
  // Programs the helper starts for the customer must not hold the channel.
  SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
  return HelperChannelEnd(in);
}

namespace {

// One overlapped transfer on the helper's end, waited for to its end; the
// bytes moved, 0 when the pipe is closed or broken.
DWORD TransferWaiting(HANDLE pipe, bool write, char* data, size_t size) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    return 0;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD n = 0;
  DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, kPipeBuffer));
  BOOL done = write ? WriteFile(pipe, data, chunk, &n, &overlapped)
                    : ReadFile(pipe, data, chunk, &n, &overlapped);
  if (!done &&
      (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(pipe, &overlapped, &n, TRUE))) {
    return 0;
  }
  return n;
}

}  // namespace

size_t HelperChannelEnd::Read(char* data, size_t size) {
  return TransferWaiting(static_cast<HANDLE>(pipe_), false, data, size);
}

bool HelperChannelEnd::Write(std::string_view bytes) {
  std::string copy(bytes);
  size_t done = 0;
  while (done < copy.size()) {
    DWORD n =
        TransferWaiting(static_cast<HANDLE>(pipe_), true, copy.data() + done, copy.size() - done);
    if (n == 0) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace zalvo::win32
