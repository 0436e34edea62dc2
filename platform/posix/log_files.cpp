// Log files on Linux: appends through one descriptor opened per line, so
// that a file moved aside or removed by someone else is simply begun anew.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/error.h"
#include "platform/log_files.h"
#include "platform/posix/scoped_fd.h"

namespace zalvo::platform {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  int code = errno;
  throw SystemError(what + ": " + std::generic_category().message(code), code);
}

class PosixLogFiles final : public LogFiles {
 public:
  uint64_t Append(std::string_view path, std::string_view bytes) override {
    const std::string name(path);
    posix::ScopedFd fd(::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
      ThrowErrno("Cannot open the log \"" + name + "\"");
    }
    while (!bytes.empty()) {
      ssize_t written = ::write(fd.get(), bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        ThrowErrno("Cannot write the log \"" + name + "\"");
      }
      bytes.remove_prefix(static_cast<size_t>(written));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
      ThrowErrno("Cannot read the size of the log \"" + name + "\"");
    }
    return static_cast<uint64_t>(info.st_size);
  }

  void Move(std::string_view from, std::string_view to) override {
    const std::string source(from);
    const std::string target(to);
    if (std::rename(source.c_str(), target.c_str()) != 0) {
      ThrowErrno("Cannot rename the log \"" + source + "\"");
    }
  }
};

}  // namespace

std::unique_ptr<LogFiles> MakeLogFiles() {
  return std::make_unique<PosixLogFiles>();
}

}  // namespace zalvo::platform
