#include "platform/win32/password_pipe.h"

// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using Clock = std::chrono::steady_clock;

// The longest message either end takes; a longer one is refused unread.
constexpr DWORD kMessageLimit = 1024;
// The lock screen waits this long for a free instance of the pipe, and for
// the reply (the service may hash twice at 600,000 iterations on a slow PC).
constexpr auto kConnectTime = std::chrono::milliseconds(3000);
constexpr DWORD kRequestWriteMs = 2000;
constexpr DWORD kReplyMs = 5000;
// The service waits this long for a connected client's request, for its
// reply to be taken, and for the client to close after reading it.
constexpr DWORD kRequestMs = 2000;
constexpr DWORD kReplyWriteMs = 2000;
constexpr DWORD kCloseMs = 1000;
// A client's faults are logged once a minute at most, with their count.
constexpr auto kComplaintPeriod = std::chrono::seconds(60);

// Owned by SYSTEM; SYSTEM may do anything, the interactive users read and
// write data and attributes (the read mode) but may not make an instance of
// their own (FILE_CREATE_PIPE_INSTANCE, which GENERIC_WRITE would grant).
constexpr wchar_t kPipeRights[] = L"O:SYD:P(A;;GA;;;SY)(A;;0x12018b;;;IU)";
// What the lock screen asks for: exactly what the interactive users get.
constexpr DWORD kClientAccess = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

enum class Io { kDone, kTimedOut, kClosed, kTooLong, kStopped };

bool Broken(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// One overlapped read or write of at most `size` bytes, given up after
// `timeout_ms` or when `stop` is signalled. A message longer than a read's
// buffer is kTooLong.
Io Transfer(HANDLE pipe, bool write, char* data, DWORD size, DWORD timeout_ms, DWORD& moved,
            HANDLE stop = nullptr) {
  moved = 0;
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    ThrowLastError("CreateEvent");
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  BOOL done = write ? WriteFile(pipe, data, size, &moved, &overlapped)
                    : ReadFile(pipe, data, size, &moved, &overlapped);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (!done && error == ERROR_IO_PENDING) {
    HANDLE handles[2] = {event.get(), stop};
    const DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, timeout_ms);
    if (woke != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
    }
    // Waits for the cancel too: the record lives on this stack.
    done = GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
    error = done ? ERROR_SUCCESS : GetLastError();
    if (!done && error == ERROR_OPERATION_ABORTED) {
      return woke == WAIT_OBJECT_0 + 1 ? Io::kStopped : Io::kTimedOut;
    }
  }
  if (done) {
    return Io::kDone;
  }
  if (error == ERROR_MORE_DATA) {
    return Io::kTooLong;
  }
  if (Broken(error)) {
    return Io::kClosed;
  }
  ThrowError(write ? "WriteFile" : "ReadFile", error);
}

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
    return "nobody";
  }
  ScopedLocal owned(text);
  return Narrow(text);
}

[[noreturn]] void NotTheService(const std::string& why) {
  throw platform::PlatformError("the password channel is not the station's service: " + why,
                                platform::ErrorKind::kAccessDenied);
}

// The program file of a service's command line: the quoted path, or the
// whole line when it names a file, else its first word.
std::wstring ProgramOf(const std::wstring& command_line) {
  if (!command_line.empty() && command_line[0] == L'"') {
    return command_line.substr(1, command_line.find(L'"', 1) - 1);
  }
  if (GetFileAttributesW(command_line.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return command_line;
  }
  return command_line.substr(0, command_line.find(L' '));
}

// Checks that the pipe's server is the installed service running as SYSTEM;
// throws PlatformError saying why not.
void CheckServer(HANDLE pipe, const std::wstring& service_name) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                       nullptr, nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    NotTheService("its owner can't be read (" + ErrorText(status) + ")");
  }
  ScopedLocal owned(descriptor);
  if (owner == nullptr || !IsWellKnownSid(owner, WinLocalSystemSid)) {
    NotTheService("it is owned by " + SidText(owner) + ", not by SYSTEM");
  }
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) {
    ThrowLastError("GetNamedPipeServerProcessId");
  }
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(manager ? OpenServiceW(manager.get(), service_name.c_str(),
                                                     SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                                      : nullptr);
  if (!service) {
    NotTheService("the service " + Narrow(service_name) + " can't be asked (" +
                  ErrorText(GetLastError()) + ")");
  }
  SERVICE_STATUS_PROCESS state{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&state),
                            sizeof state, &needed)) {
    ThrowLastError("QueryServiceStatusEx");
  }
  if (state.dwCurrentState != SERVICE_RUNNING || state.dwProcessId != server) {
    NotTheService("it is served by process " + std::to_string(server) + ", and the service " +
                  Narrow(service_name) +
                  (state.dwCurrentState == SERVICE_RUNNING
                       ? " is process " + std::to_string(state.dwProcessId)
                       : std::string(" does not run")));
  }
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed)) {
    ThrowLastError("QueryServiceConfig");
  }
  const std::wstring account = config->lpServiceStartName ? config->lpServiceStartName : L"";
  if (!account.empty() &&
      CompareStringOrdinal(account.c_str(), -1, L"LocalSystem", -1, TRUE) != CSTR_EQUAL) {
    NotTheService("the service runs as " + Narrow(account) + ", not as LocalSystem");
  }
  // A standard account may not open a process of SYSTEM's: then the owner
  // and the service control manager have told enough.
  const std::wstring program = ProgramOf(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
  if (std::optional<std::wstring> image = ProcessImagePath(server);
      image && !SameFile(*image, program)) {
    NotTheService("its process runs " + Narrow(*image) + ", not the service's " + Narrow(program));
  }
}

class PasswordPipeClient final : public platform::PasswordChannel {
 public:
  PasswordPipeClient(std::wstring mark_key, std::wstring service_name, std::wstring pipe_name)
      : mark_key_(std::move(mark_key)),
        service_name_(std::move(service_name)),
        pipe_name_(std::move(pipe_name)) {}

  bool ServiceKeepsPasswords() override {
    HKEY key = nullptr;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, mark_key_.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
      RegCloseKey(key);
      return true;
    }
    // Refused, as it is to the customer, is there.
    return status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND;
  }

  std::string Exchange(std::string_view request) override {
    ScopedHandle pipe = Connect();
    CheckServer(pipe.get(), service_name_);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
      ThrowLastError("SetNamedPipeHandleState");
    }
    std::string bytes(request);
    DWORD moved = 0;
    if (Transfer(pipe.get(), true, bytes.data(), static_cast<DWORD>(bytes.size()), kRequestWriteMs,
                 moved) != Io::kDone) {
      throw platform::PlatformError("the service did not take the request",
                                    platform::ErrorKind::kTimedOut);
    }
    std::string reply(kMessageLimit, '\0');
    switch (Transfer(pipe.get(), false, reply.data(), kMessageLimit, kReplyMs, moved)) {
      case Io::kDone:
        reply.resize(moved);
        return reply;
      case Io::kTimedOut:
      case Io::kStopped:
        throw platform::PlatformError(
            "the service did not answer within " + std::to_string(kReplyMs / 1000) + " s",
            platform::ErrorKind::kTimedOut);
      case Io::kTooLong:
        throw platform::PlatformError("the service's reply is too long");
      case Io::kClosed:
        break;
    }
    throw platform::PlatformError("the service closed the password channel unanswered",
                                  platform::ErrorKind::kBroken);
  }

 private:
  ScopedHandle Connect() {
    const auto deadline = Clock::now() + kConnectTime;
    for (;;) {
      // Identification only: the other end can't act as this account.
      ScopedHandle pipe(CreateFileW(
          pipe_name_.c_str(), kClientAccess, 0, nullptr, OPEN_EXISTING,
          FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
      if (pipe) {
        return pipe;
      }
      const DWORD error = GetLastError();
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (error == ERROR_PIPE_BUSY && left > 0) {
        WaitNamedPipeW(pipe_name_.c_str(), static_cast<DWORD>(std::min<long long>(left, 500)));
        continue;
      }
      if (error == ERROR_FILE_NOT_FOUND) {
        throw platform::PlatformError(
            "the service's password channel is not there (does the service run?)",
            platform::ErrorKind::kNotFound);
      }
      ThrowError("opening the service's password channel", error);
    }
  }

  std::wstring mark_key_;
  std::wstring service_name_;
  std::wstring pipe_name_;
};

}  // namespace

std::unique_ptr<platform::PasswordChannel> MakePasswordPipeClient(std::wstring mark_key,
                                                                  std::wstring service_name,
                                                                  std::wstring pipe_name) {
  return std::make_unique<PasswordPipeClient>(std::move(mark_key), std::move(service_name),
                                              std::move(pipe_name));
}

PasswordPipeServer::PasswordPipeServer(Options options)
    : options_(std::move(options)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

PasswordPipeServer::~PasswordPipeServer() {
  Stop();
}

bool PasswordPipeServer::MakePipe() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeRights, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    ThrowLastError("ConvertStringSecurityDescriptorToSecurityDescriptor");
  }
  ScopedLocal owned(descriptor);
  SECURITY_ATTRIBUTES rights{sizeof rights, descriptor, FALSE};
  // The first and only instance: while the service holds it, nobody else
  // can make one of the name.
  ScopedHandle pipe(CreateNamedPipeW(
      options_.pipe_name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      kMessageLimit, kMessageLimit, 0, &rights));
  if (!pipe) {
    const DWORD error = GetLastError();
    const std::string line =
        error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
            ? "passwords: the channel's name " + Narrow(options_.pipe_name) +
                  " is held by another program: no password unlocks the lock screen until it is "
                  "free (tried again every " +
                  std::to_string(options_.upkeep_period.count() / 1000) + " s)"
            : "passwords: the channel can't be made: " + ErrorText(error);
    if (line != last_failure_) {
      options_.log(line);
      last_failure_ = line;
    }
    return false;
  }
  pipe_ = std::move(pipe);
  if (!last_failure_.empty()) {
    options_.log("passwords: the channel " + Narrow(options_.pipe_name) + " is made");
    last_failure_.clear();
  }
  return true;
}

bool PasswordPipeServer::Start() {
  const bool made = MakePipe();
  thread_ = std::thread([this] { Run(); });
  return made;
}

void PasswordPipeServer::Stop() {
  if (stop_) {
    SetEvent(stop_.get());
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void PasswordPipeServer::Run() {
  auto upkeep = [this] {
    if (options_.upkeep) {
      try {
        options_.upkeep();
      } catch (const std::exception& e) {
        options_.log(std::string("passwords: upkeep failed: ") + e.what());
      }
    }
  };
  upkeep();
  auto next_upkeep = Clock::now() + options_.upkeep_period;
  ScopedHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  bool listening = false;
  for (;;) {
    if (!pipe_) {
      MakePipe();
    }
    if (pipe_ && !listening) {
      listening = Listen(overlapped, connected.get());
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_upkeep - Clock::now());
    HANDLE handles[2] = {stop_.get(), connected.get()};
    const DWORD woke = WaitForMultipleObjects(
        listening ? 2 : 1, handles, FALSE, left.count() > 0 ? static_cast<DWORD>(left.count()) : 0);
    if (woke == WAIT_OBJECT_0) {
      if (listening) {
        CancelIoEx(pipe_.get(), &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe_.get(), &overlapped, &ignored, TRUE);
      }
      return;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
      listening = false;
      try {
        Serve();
      } catch (const std::exception& e) {
        options_.log(std::string("passwords: a request was not served: ") + e.what());
      }
      DisconnectNamedPipe(pipe_.get());
    }
    if (Clock::now() >= next_upkeep) {
      upkeep();
      next_upkeep = Clock::now() + options_.upkeep_period;
    }
  }
}

bool PasswordPipeServer::Listen(OVERLAPPED& overlapped, HANDLE connected) {
  for (;;) {
    overlapped = {};
    overlapped.hEvent = connected;
    ResetEvent(connected);
    if (ConnectNamedPipe(pipe_.get(), &overlapped)) {
      SetEvent(connected);
      return true;
    }
    const DWORD error = GetLastError();
    switch (error) {
      case ERROR_IO_PENDING:
        return true;
      case ERROR_PIPE_CONNECTED:
        SetEvent(connected);  // a client came before the call
        return true;
      case ERROR_NO_DATA:
        DisconnectNamedPipe(pipe_.get());  // it came and went
        continue;
      default:
        // The pipe is kept (closed, its name would be free for another
        // program); it listens again after the next upkeep.
        Complain("the channel does not listen: " + ErrorText(error));
        return false;
    }
  }
}

void PasswordPipeServer::Complain(const std::string& line) {
  ++complaints_;
  const auto now = Clock::now();
  if (complained_ != Clock::time_point{} && now - complained_ < kComplaintPeriod) {
    return;
  }
  options_.log("passwords: " + line +
               (complaints_ > 1
                    ? " (and " + std::to_string(complaints_ - 1) + " more since the last line)"
                    : std::string()));
  complaints_ = 0;
  complained_ = now;
}

void PasswordPipeServer::Serve() {
  ULONG client = 0;
  GetNamedPipeClientProcessId(pipe_.get(), &client);
  if (!options_.lock_screen.empty() && !ProcessRunsFile(client, options_.lock_screen)) {
    std::optional<std::wstring> image = ProcessImagePath(client);
    Complain("a connection of a program other than the installed lock screen refused (process " +
             std::to_string(client) + ", " + (image ? Narrow(*image) : std::string("unknown")) +
             ")");
    return;
  }
  std::string request(kMessageLimit, '\0');
  DWORD moved = 0;
  switch (
      Transfer(pipe_.get(), false, request.data(), kMessageLimit, kRequestMs, moved, stop_.get())) {
    case Io::kDone:
      break;
    case Io::kTooLong:
      Complain("a request longer than " + std::to_string(kMessageLimit) + " bytes refused");
      return;
    case Io::kTimedOut:
      Complain("a client sent no request within " + std::to_string(kRequestMs / 1000) + " s");
      return;
    case Io::kClosed:
    case Io::kStopped:
      return;
  }
  request.resize(moved);
  std::string reply = options_.answer(request);
  if (Transfer(pipe_.get(), true, reply.data(), static_cast<DWORD>(reply.size()), kReplyWriteMs,
               moved, stop_.get()) != Io::kDone) {
    return;
  }
  // The lock screen reads its reply and closes; the disconnect would drop a
  // reply not read yet.
  char ignored = 0;
  (void)Transfer(pipe_.get(), false, &ignored, 1, kCloseMs, moved, stop_.get());
}

}  // namespace zalvo::win32
