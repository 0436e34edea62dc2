#include "platform/sim/sim_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/error.h"
#include "platform/posix/scoped_fd.h"
#include "platform/sim/file_calls.h"

namespace zalvo::sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  int code = errno;
  throw platform::SystemError(what + ": " + std::generic_category().message(code), code);
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

// The temporary file of a save: removed when the save ends without renaming
// it over the target.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!renamed_) {
      int code = errno;
      ::unlink(path_.c_str());
      errno = code;
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void Renamed() { renamed_ = true; }

 private:
  std::filesystem::path path_;
  bool renamed_ = false;
};

}  // namespace

FileCalls& ReplaceFileCalls() {
  static FileCalls calls;
  return calls;
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  const FileCalls& calls = ReplaceFileCalls();
  TemporaryFile temp(path.string() + "." + std::to_string(::getpid()) + ".tmp");
  {
    posix::ScopedFd fd(::open(temp.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
      ThrowErrno("Cannot create file \"" + path.string() + "\"");
    }
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = calls.write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        ThrowErrno("Cannot write file \"" + path.string() + "\"");
      }
      done += static_cast<size_t>(n);
    }
    if (calls.fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
      ThrowErrno("Cannot write file \"" + path.string() + "\"");
    }
  }
  if (calls.rename(temp.path().c_str(), path.c_str()) != 0) {
    ThrowErrno("Cannot replace file \"" + path.string() + "\"");
  }
  temp.Renamed();
  // Make the rename itself durable.
  std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  posix::ScopedFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) {
    ::fsync(dir.get());
  }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  posix::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    ThrowErrno("Cannot open file \"" + path.string() + "\"");
  }
  std::string content;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      ThrowErrno("Cannot read file \"" + path.string() + "\"");
    }
    if (n == 0) {
      break;
    }
    content.append(chunk, static_cast<size_t>(n));
  }
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

bool SimFiles::Remove(std::string_view path) {
  const std::filesystem::path native = Native(path);
  if (::unlink(native.c_str()) == 0) {
    return true;
  }
  if (errno == ENOENT) {
    return false;
  }
  ThrowErrno("Cannot delete file \"" + native.string() + "\"");
}

}  // namespace zalvo::sim
