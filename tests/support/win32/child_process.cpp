#include "tests/support/child_process.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::testing {
namespace {

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring out = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') {
      out += L'\\';
    }
    out += c;
  }
  return out + L"\"";
}

// Whether this test program has a console (run from a terminal). Without
// one (under CTest) every child gets a console of its own, without a window,
// that Stop can send a Ctrl+C through.
bool ThisProgramHasAConsole() {
  return GetConsoleCP() != 0;
}

// Sends Ctrl+C to the console of the child: for a while this program joins
// it, ignoring the event itself. False when the child has no console (a GUI
// program).
bool SendCtrlC(DWORD process_id) {
  static std::mutex joining;
  std::lock_guard lock(joining);
  if (!AttachConsole(process_id)) {
    return false;
  }
  SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  FreeConsole();
  return sent != FALSE;
}

class Win32Child final : public ChildProcess {
 public:
  Win32Child(HANDLE process, bool own_console) : process_(process), own_console_(own_console) {}
  ~Win32Child() override { Stop(); }

  // A console program of its own console gets a Ctrl+C and 10 s to end by
  // itself, closing what it holds: under Wine a program ended at once while
  // it waits on a socket can leave that socket, and its port, taken until
  // the prefix's wine server ends. Any other is ended at once.
  void Stop() override {
    if (own_console_ && Running() && SendCtrlC(GetProcessId(process_.get())) &&
        WaitForSingleObject(process_.get(), 10000) == WAIT_OBJECT_0) {
      return;
    }
    Kill();
  }
  void Kill() override {
    if (Running()) {
      TerminateProcess(process_.get(), 1);
      if (WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "child process %lu still runs 30 s after it was ended\n",
                     GetProcessId(process_.get()));
      }
    }
  }

  bool Running() override { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

  int64_t Id() override { return GetProcessId(process_.get()); }

  int ExitCode() override {
    DWORD code = 0;
    if (Running() || !GetExitCodeProcess(process_.get(), &code)) {
      return -1;
    }
    return static_cast<int>(code);
  }

 private:
  win32::ScopedHandle process_;
  bool own_console_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartProcess(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::string& output_file) {
  std::wstring command = Quote(win32::Widen(program));
  for (const std::string& a : args) {
    command += L" " + Quote(win32::Widen(a));
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(win32::Widen(output_file).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    win32::ThrowLastError("cannot create " + output_file);
  }
  win32::ScopedHandle output_handle(output);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info{};
  const bool own_console = !ThisProgramHasAConsole();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                      own_console ? CREATE_NO_WINDOW : 0, nullptr, nullptr, &startup, &info)) {
    win32::ThrowLastError("cannot start " + program);
  }
  win32::ScopedHandle thread(info.hThread);
  return std::make_unique<Win32Child>(info.hProcess, own_console);
}

std::string BuiltProgramPath(const std::string& build_path) {
  if (build_path.empty() || build_path[0] != '/') {
    return build_path;
  }
  // Wine shows the Linux file system as drive Z:.
  std::string path = "Z:" + build_path;
  for (char& c : path) {
    if (c == '/') {
      c = '\\';
    }
  }
  return path;
}

}  // namespace zalvo::testing
