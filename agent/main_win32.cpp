// zalvos.exe: the station agent as a Windows service.
//
//   zalvos.exe /INSTALL [/SILENT]     register the service
//   zalvos.exe /UNINSTALL [/SILENT]   remove it
//   zalvos.exe --console [--tick-ms N] [--quiet]
//                                     run here, printing what it does (with
//                                     --quiet, not each datagram and reply)
//   zalvos.exe                        (started by the service control manager;
//                                      start parameters may carry --tick-ms N)

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "agent/agent.h"
#include "agent/runtime.h"
#include "agent/server_replies.h"
#include "agent/station_agent.h"
#include "platform/datagram_socket.h"
#include "platform/win32/desktop.h"
#include "platform/win32/files.h"
#include "platform/win32/mixer.h"
#include "platform/win32/registry.h"
#include "platform/win32/service_host.h"
#include "platform/win32/wide.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace {

using namespace zalvo;

// The service object: the endpoint, the station and the worker, created when
// the service (or the console run) starts.
class ZalvoService final : public platform::ServiceHandlers {
 public:
  ZalvoService(agent::LogSink log, std::chrono::milliseconds tick)
      : socket_(platform::MakeUdpSocket()),
        replies_(*socket_, state_, log),
        actions_(state_, replies_, {registry_, files_, *desktop_, mixer_.get()}, log),
        worker_(state_, actions_, replies_, log),
        runtime_(worker_, *socket_, {tick}, log) {}

  void Start() override { runtime_.Start(); }
  void Stop() override { runtime_.Stop(); }
  void Pause() override { runtime_.Pause(); }
  void Continue() override { runtime_.Continue(); }

 private:
  win32::Win32Registry registry_;
  win32::Win32Files files_;
  std::unique_ptr<platform::Desktop> desktop_ = win32::MakeWin32Desktop();
  std::unique_ptr<platform::Mixer> mixer_ = win32::MakeWin32Mixer();
  std::unique_ptr<platform::DatagramSocket> socket_;
  agent::AgentState state_;
  agent::ServerReplies replies_;
  agent::StationAgent actions_;
  agent::Agent worker_;
  agent::AgentRuntime runtime_;
};

std::mutex g_print;

// The tick length: 1000 ms, or "--tick-ms N" among the arguments (tests use
// a few milliseconds so that the 99-tick cycle does not take minutes).
std::chrono::milliseconds TickLength(const std::vector<std::wstring>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == L"--tick-ms") {
      auto value = text::ParseInt32(win32::Narrow(args[i + 1]));
      if (!value || *value <= 0) {
        throw std::invalid_argument("--tick-ms needs a positive number of milliseconds");
      }
      return std::chrono::milliseconds(*value);
    }
  }
  return std::chrono::milliseconds(1000);
}

}  // namespace

int main() {
  std::vector<std::wstring> args = win32::CommandLineArguments();
  auto switches = win32::ParseServiceSwitches(args);
  agent::LogSink log;
  if (switches.console) {
    log = [](std::string_view cp1251) {
      std::lock_guard lock(g_print);
      std::string utf8 = text::Cp1251ToUtf8(cp1251);
      std::fprintf(stdout, "agent   %s\n", utf8.c_str());
      std::fflush(stdout);
    };
    if (std::find(args.begin(), args.end(), L"--quiet") != args.end()) {
      log = agent::WithoutTraffic(log);
    }
  }
  win32::ServiceDefinition service{L"ZalvoService", L"Zalvo Service"};
  return win32::RunServiceProgram(
      service,
      [&](const std::vector<std::wstring>& start_args) {
        return std::make_unique<ZalvoService>(log, TickLength(start_args));
      },
      args);
}
