// errno into the platform's failure kinds: the one place on Linux.
#include <cerrno>

#include "platform/error.h"

namespace zalvo::platform {
namespace {

ErrorKind KindOf(int64_t code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
    case ESRCH:
      return ErrorKind::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kAccessDenied;
    case EADDRINUSE:
    case EBUSY:
    case ETXTBSY:
    case EEXIST:
      return ErrorKind::kInUse;
    case ETIMEDOUT:
      return ErrorKind::kTimedOut;
    case EPIPE:
    case ECONNRESET:
    case ECONNREFUSED:
    case ENOTCONN:
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
