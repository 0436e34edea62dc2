// A POSIX descriptor in the one RAII wrapper (platform/scoped.h).
#pragma once

#include <unistd.h>

#include "platform/scoped.h"

namespace zalvo::posix {

inline void CloseFd(int fd) {
  ::close(fd);
}
using ScopedFd = platform::Scoped<int, CloseFd, platform::NoneIs<int, -1>>;

}  // namespace zalvo::posix
