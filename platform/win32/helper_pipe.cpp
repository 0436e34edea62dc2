// The helper's channel: the pipe the service creates for it, the service's
// end with deadlines, and the helper's end on its standard handles.
#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/session_launcher_internal.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;

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
  channel.service_end.reset(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBuffer,
      kPipeBuffer, 0, &own_only));
  if (!channel.service_end) {
    ThrowLastError("CreateNamedPipe");
  }
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  // Overlapped, so that the helper's threads may write events while its
  // main thread waits to read (a handle for synchronous I/O does one
  // transfer at a time).
  channel.helper_end.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!channel.helper_end) {
    ThrowLastError("opening the helper's end of its channel");
  }
  // Opened above, so already connected.
  if (!ConnectNamedPipe(channel.service_end.get(), nullptr) &&
      GetLastError() != ERROR_PIPE_CONNECTED) {
    ThrowLastError("ConnectNamedPipe");
  }
  return channel;
}

std::unique_ptr<platform::HelperProcess> MakeWin32HelperProcess(StartedProcess process,
                                                                DWORD session, ScopedHandle pipe) {
  return std::make_unique<Win32HelperProcess>(std::move(process), session, std::move(pipe));
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
