// How long the server's window commands take when the agent runs as the
// installed service, whose session helper reads the customer's desktop over
// its pipe, against the same agent run at the console (--console), which
// reads the desktop itself. Run under Wine, which runs a service on a window
// station of its own as Windows runs it in session 0.
//
//   zalvo_helper_bench ZALVOS.EXE [--windows N] [--rounds R] [--commands K]
//
// Opens N top-level windows with captions (default 300, besides those of the
// system), sets the station up as the service's tests do (the customer
// account, a settings file that names 127.0.0.1 as the server), then in each
// of R rounds (default 3) times K exchanges (default 30) of "ACTION PROCESS"
// and of "ACTION INFO" through the service, then through the console run,
// after two exchanges of each that are not timed (the helper's start). An
// exchange lasts from the command's send until its "PING" arrives. Prints a
// Markdown table of the median and the slowest tenth per command and way.
// Uses the agent's fixed ports: run it holding the ports lock.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/files.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "tests/win32/gui_driver.h"

namespace {

using zalvo::testing::ServerPeer;
using zalvo::win32::ScopedServiceHandle;
using Clock = std::chrono::steady_clock;

constexpr const wchar_t* kServiceName = L"ZalvoService";

// The windows, owned by a thread that looks at their messages.
class BenchWindows {
 public:
  explicit BenchWindows(int count) {
    thread_ = std::thread([this, count] { Run(count); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return thread_id_ != 0; });
  }
  ~BenchWindows() {
    PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  BenchWindows(const BenchWindows&) = delete;
  BenchWindows& operator=(const BenchWindows&) = delete;

 private:
  void Run(int count) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"ZalvoBenchWindow";
    RegisterClassW(&window_class);
    std::vector<HWND> windows;
    for (int i = 0; i < count; ++i) {
      const std::wstring caption = L"Bench window " + std::to_wstring(i);
      windows.push_back(CreateWindowExW(0, window_class.lpszClassName, caption.c_str(),
                                        WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                        window_class.hInstance, nullptr));
    }
    // The last one visible and in front: "ACTION INFO" reports its caption.
    ShowWindow(windows.back(), SW_SHOW);
    SetForegroundWindow(windows.back());
    MSG message{};
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
    {
      std::lock_guard lock(mutex_);
      thread_id_ = GetCurrentThreadId();
    }
    ready_.notify_all();
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      DispatchMessageW(&message);
    }
    for (HWND window : windows) {
      DestroyWindow(window);
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  DWORD thread_id_ = 0;
  std::thread thread_;
};

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  QueryServiceStatus(service, &status);
  return status.dwCurrentState;
}

void RemoveService(SC_HANDLE manager) {
  ScopedServiceHandle service(OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS));
  if (!service) {
    return;
  }
  SERVICE_STATUS status{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  zalvo::testing::WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; });
  DeleteService(service.get());
}

// The customer account is the user Wine runs everything as; the server is
// this program, at 127.0.0.1; the keep-alive comes seldom.
void SetUpStation() {
  wchar_t user[256] = {};
  DWORD user_size = 256;
  GetUserNameW(user, &user_size);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zalvo", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error("HKLM\\SOFTWARE\\Zalvo can't be written");
  }
  zalvo::win32::ScopedKey station(key);
  RegSetValueExW(key, L"CustomerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(user),
                 static_cast<DWORD>((wcslen(user) + 1) * sizeof(wchar_t)));
  zalvo::win32::Win32Files files;
  files.Replace(zalvo::settings::SettingsFilePath(files.WindowsDirectory(),
                                                  zalvo::settings::kSettingsFileName),
                "ServerIP=127.0.0.1\r\nPlayGame=1\r\nFreeDisk=0\r\nSendDataTime=3600\r\n");
}

struct Timings {
  std::vector<double> process_ms;
  std::vector<double> info_ms;
  int failed = 0;
};

// K timed exchanges of each command, after two untimed ones.
Timings Measure(ServerPeer& server, int commands) {
  Timings timings;
  auto exchange = [&](const std::string& command, const std::string& reply,
                      std::vector<double>* into) {
    const Clock::time_point sent = Clock::now();
    std::vector<std::string> replies = server.Exchange(command, 5000);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    const bool answered =
        !replies.empty() && replies.back() == "PING" &&
        (reply.empty() || std::any_of(replies.begin(), replies.end(), [&](const std::string& r) {
           return r.rfind(reply, 0) == 0;
         }));
    if (!answered) {
      timings.failed += 1;
    } else if (into != nullptr) {
      into->push_back(ms);
    }
  };
  for (int i = 0; i < 2; ++i) {
    exchange("ACTION PROCESS", "PROCESS LIST:", nullptr);
    exchange("ACTION INFO", "", nullptr);
  }
  timings.failed = 0;
  for (int i = 0; i < commands; ++i) {
    exchange("ACTION PROCESS", "PROCESS LIST:", &timings.process_ms);
    exchange("ACTION INFO", "", &timings.info_ms);
  }
  return timings;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

void PrintRow(int round, const char* way, const Timings& t) {
  std::printf("| %d | %s | %.1f | %.1f | %.1f | %.1f | %d |\n", round, way,
              Quantile(t.process_ms, 0.5), Quantile(t.process_ms, 0.9), Quantile(t.info_ms, 0.5),
              Quantile(t.info_ms, 0.9), t.failed);
  std::fflush(stdout);
}

int Bench(const std::string& zalvos, int windows, int rounds, int commands) {
  BenchWindows open_windows(windows);
  SetUpStation();
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    throw std::runtime_error("the service manager can't be opened");
  }
  RemoveService(manager.get());
  if (zalvo::testing::RunAndWait(zalvo::testing::QuotedProgram(zalvos) + L" /INSTALL /SILENT") !=
      0) {
    throw std::runtime_error("the service could not be installed");
  }
  ServerPeer server;
  std::printf(
      "| round | agent | PROCESS median (ms) | PROCESS 90 %% (ms) | INFO median (ms) | INFO 90 %% "
      "(ms) | failed |\n|---|---|---:|---:|---:|---:|---:|\n");
  for (int round = 1; round <= rounds; ++round) {
    {
      ScopedServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
      if (!service || !StartServiceW(service.get(), 0, nullptr) || !zalvo::testing::WaitFor([&] {
            return ServiceState(service.get()) == SERVICE_RUNNING;
          }) ||
          !server.WaitForAgent()) {
        throw std::runtime_error("the service did not start");
      }
      PrintRow(round, "service, helper in the user's session", Measure(server, commands));
      SERVICE_STATUS status{};
      ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
      zalvo::testing::WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; });
    }
    {
      char temp[MAX_PATH] = {};
      GetTempPathA(MAX_PATH, temp);
      auto console = zalvo::testing::StartProcess(zalvo::testing::BuiltProgramPath(zalvos),
                                                  {"--console", "--quiet"},
                                                  std::string(temp) + "zalvo-bench-console.txt");
      if (!server.WaitForAgent()) {
        throw std::runtime_error("the console run did not answer");
      }
      PrintRow(round, "console run, its own desktop", Measure(server, commands));
      console->Stop();
    }
  }
  RemoveService(manager.get());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: zalvo_helper_bench ZALVOS.EXE [--windows N] [--rounds R] "
                 "[--commands K]\n");
    return 2;
  }
  int windows = 300;
  int rounds = 3;
  int commands = 30;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (value <= 0) {
      std::fprintf(stderr, "%s needs a positive number\n", argv[i]);
      return 2;
    }
    if (name == "--windows") {
      windows = value;
    } else if (name == "--rounds") {
      rounds = value;
    } else if (name == "--commands") {
      commands = value;
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  try {
    return Bench(argv[1], windows, rounds, commands);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvo_helper_bench: %s\n", e.what());
    return 1;
  }
}
