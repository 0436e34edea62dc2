#include "platform/sim/sim_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/error.h"

namespace zalvo::sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  int code = errno;
  throw platform::PlatformError(what + ": " + std::generic_category().message(code), code);
}

std::filesystem::path Native(std::string_view windows_path) {
  std::string path(windows_path);
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  return path;
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temp = path;
  temp += "." + std::to_string(::getpid()) + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ThrowErrno("Cannot create file \"" + path.string() + "\"");
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      int code = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      errno = code;
      ThrowErrno("Cannot write file \"" + path.string() + "\"");
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    errno = code;
    ThrowErrno("Cannot write file \"" + path.string() + "\"");
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    errno = code;
    ThrowErrno("Cannot replace file \"" + path.string() + "\"");
  }
  // Make the rename itself durable.
  std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ThrowErrno("Cannot open file \"" + path.string() + "\"");
  }
  std::string content;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      int code = errno;
      ::close(fd);
      errno = code;
      ThrowErrno("Cannot read file \"" + path.string() + "\"");
    }
    if (n == 0) {
      break;
    }
    content.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

SimFiles::SimFiles(std::filesystem::path windows_directory)
    : windows_directory_(std::filesystem::absolute(windows_directory).lexically_normal()) {}

std::string SimFiles::WindowsDirectory() {
  std::string dir = windows_directory_.string();
  while (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  return dir;
}

std::string SimFiles::Read(std::string_view path) {
  return ReadWholeFile(Native(path));
}

void SimFiles::Replace(std::string_view path, std::string_view bytes) {
  WriteFileAtomically(Native(path), bytes);
}

}  // namespace zalvo::sim
