#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zalvo::testing {
namespace {

class PosixChild final : public ChildProcess {
 public:
  explicit PosixChild(pid_t pid) : pid_(pid) {}
  ~PosixChild() override { Stop(); }

  void Stop() override {
    if (!Running()) {
      return;
    }
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && Running(); ++i) {
      ::usleep(50000);
    }
    if (Running()) {
      ::kill(pid_, SIGKILL);
      Wait(0);
    }
  }

  void Kill() override {
    if (Running()) {
      ::kill(pid_, SIGKILL);
      Wait(0);
    }
  }

  bool Running() override {
    if (exited_) {
      return false;
    }
    return !Wait(WNOHANG);
  }

  int ExitCode() override { return Running() ? -1 : exit_code_; }
  int64_t Id() override { return pid_; }

 private:
  // True once the child has ended.
  bool Wait(int options) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, options);
    if (r == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return exited_;
  }

  pid_t pid_;
  bool exited_ = false;
  int exit_code_ = -1;
};

}  // namespace

std::unique_ptr<ChildProcess> StartProcess(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::string& output_file) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The child must not inherit a blocked signal mask from the test.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  return std::make_unique<PosixChild>(pid);
}

std::string BuiltProgramPath(const std::string& build_path) {
  return build_path;
}

}  // namespace zalvo::testing
