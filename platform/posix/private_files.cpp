#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/error.h"
#include "platform/posix/scoped_fd.h"

namespace zalvo::platform {
namespace {

[[noreturn]] void Throw(const std::string& what, int code) {
  throw SystemError(what + ": " + std::generic_category().message(code), code);
}

}  // namespace

void CreatePrivateFile(const std::string& path, std::string_view content) {
  posix::ScopedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    int code = errno;
    Throw(code == EEXIST ? path + " exists already (a key file is never written over)"
                         : "cannot create " + path,
          code);
  }
  auto fail = [&](const std::string& what) {
    int code = errno;
    fd.reset();
    ::unlink(path.c_str());
    Throw(what + " " + path, code);
  };
  // The umask can only take rights away; this sets exactly the owner's.
  if (::fchmod(fd.get(), 0600) != 0) {
    fail("cannot set the mode of");
  }
  while (!content.empty()) {
    ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      fail("cannot write");
    }
    content.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd.get()) != 0) {
    fail("cannot write");
  }
  if (::close(fd.release()) != 0) {
    fail("cannot write");
  }
}

std::string OthersMayRead(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    Throw("cannot read the rights of " + path, errno);
  }
  const unsigned others = status.st_mode & 077;
  if (others == 0) {
    return {};
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  std::string who = (others & 070) != 0 && (others & 07) != 0 ? "its group and every user"
                    : (others & 070) != 0                     ? "its group"
                                                              : "every user";
  return path + " may be read or changed by " + who + " (mode " + mode + "): chmod 600 " + path;
}

}  // namespace zalvo::platform
