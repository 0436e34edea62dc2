#include "tests/support/child_process.h"

#include <windows.h>

#include <cstdio>
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

class Win32Child final : public ChildProcess {
 public:
  explicit Win32Child(HANDLE process) : process_(process) {}
  ~Win32Child() override { Stop(); }

  // A console program has no gentler end from outside: both end it at once.
  void Stop() override { Kill(); }
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
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    win32::ThrowLastError("cannot start " + program);
  }
  win32::ScopedHandle thread(info.hThread);
  return std::make_unique<Win32Child>(info.hProcess);
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
