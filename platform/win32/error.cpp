#include "platform/win32/error.h"

#include <windows.h>
#include <winsock2.h>

#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::platform {
namespace {

// ERROR_SHUTDOWN_IS_SCHEDULED, which MinGW's headers lack: a restart or
// shut-down asked for with a time-out waits.
constexpr int64_t kShutdownIsScheduled = 1190;

// GetLastError and Windows Sockets codes into the platform's failure kinds:
// the one place on Windows.
ErrorKind KindOf(int64_t code) {
  // An HRESULT that carries a Win32 code is read as that code.
  if ((code & 0xFFFF0000) == 0x80070000) {
    code &= 0xFFFF;
  }
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_MOD_NOT_FOUND:
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_NONE_MAPPED:
    case ERROR_NO_SUCH_USER:
    case ERROR_INVALID_WINDOW_HANDLE:
      return ErrorKind::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_NOT_ALL_ASSIGNED:
    case WSAEACCES:
      return ErrorKind::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_SERVICE_ALREADY_RUNNING:
    case ERROR_SERVICE_EXISTS:
    case ERROR_SHUTDOWN_IN_PROGRESS:
    case kShutdownIsScheduled:
    case ERROR_PIPE_BUSY:
    case WSAEADDRINUSE:
      return ErrorKind::kInUse;
    case WAIT_TIMEOUT:
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case WSAETIMEDOUT:
      return ErrorKind::kTimedOut;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case WSAECONNRESET:
    case WSAECONNREFUSED:
      return ErrorKind::kBroken;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

PlatformError SystemError(const std::string& message, int64_t code) {
  return PlatformError(message, KindOf(code), code);
}

}  // namespace zalvo::platform

namespace zalvo::win32 {

std::string ErrorText(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) {
    return "Unknown Error No. " + std::to_string(code);
  }
  const ScopedLocal owned(buffer);
  std::wstring text(buffer, n);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  return Narrow(text);
}

void ThrowError(std::string_view what, uint32_t code) {
  throw platform::SystemError(std::string(what) + ": " + ErrorText(code), code);
}

void ThrowLastError(std::string_view what) {
  ThrowError(what, GetLastError());
}

}  // namespace zalvo::win32
