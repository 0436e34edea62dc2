// The Windows harness: zalvos.exe --console in the Wine prefix.
#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "settings/settings_file.h"
#include "tests/e2e/agent_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::testing {
namespace {

class Win32Harness final : public AgentHarness {
 public:
  Win32Harness() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    output_ = std::string(temp, temp + wcslen(temp)) + "zalvos-e2e-output.txt";
  }
  ~Win32Harness() override {
    if (process_) {
      process_->Stop();
    }
  }

  void WriteSettings(const std::string& bytes) override { files_.Replace(Path(), bytes); }
  std::string ReadSettings() override { return files_.Read(Path()); }
  void RemoveSettings() override { DeleteFileA(Path().c_str()); }
  platform::Registry& registry() override { return registry_; }

  void Start(int tick_ms) override {
    WaitUntilTheCommandPortIsFree();
    std::vector<std::string> args = {"--console", "--tick-ms", std::to_string(tick_ms)};
    args.insert(args.end(), extra_arguments.begin(), extra_arguments.end());
    process_ = StartProcess(BuiltProgramPath(ZALVOS_PROGRAM), args, output_);
  }
  void Stop() override {
    if (process_) {
      process_->Stop();
    }
  }
  void Kill() override {
    if (process_) {
      process_->Kill();
    }
  }
  bool Running() override { return process_ && process_->Running(); }
  std::string Output() override {
    try {
      return files_.Read(output_);
    } catch (const platform::PlatformError&) {
      return {};
    }
  }

 private:
  std::string Path() {
    return settings::SettingsFilePath(files_.WindowsDirectory(), settings::kSettingsFileName);
  }

  // Wine signals an ended program's handle before its Unix process has
  // closed its sockets, and on a loaded machine that process can linger for
  // seconds, so a start right after could find the command port still taken;
  // and a program killed while it waits on its socket can leave the port
  // taken until the prefix's wine server ends (ChildProcess::Stop avoids
  // that; Kill can't). Waits until the port can be bound, and says so when it
  // never could.
  static void WaitUntilTheCommandPortIsFree() {
    constexpr int kTries = 300;  // 30 s
    for (int i = 0; i < kTries; ++i) {
      try {
        ServerPeer probe("0.0.0.0", 6767);
        if (i >= 20) {
          // Shown with a failing test's output: how slow the machine was.
          std::fprintf(stderr, "port 6767 was free %d ms after the last agent was ended\n",
                       i * 100);
        }
        return;
      } catch (const platform::PlatformError&) {
        Sleep(100);
      }
    }
    throw std::runtime_error("port 6767 was still taken 30 s after the last agent was ended");
  }

  win32::Win32Files files_;
  win32::Win32Registry registry_;
  std::unique_ptr<ChildProcess> process_;
  std::string output_;
};

}  // namespace

std::unique_ptr<AgentHarness> AgentHarness::Create() {
  return std::make_unique<Win32Harness>();
}

}  // namespace zalvo::testing
