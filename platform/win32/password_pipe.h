// The lock screen's password channel on Windows: the named pipe
// \\.\pipe\ZalvoPasswords, made by the service at its start as the first and
// only instance of the name, owned by SYSTEM; the interactive users may read
// and write it but not make an instance of their own, and remote clients are
// rejected. One request and one reply a connection; the service serves the
// installed lock screen alone, within a few seconds, one at a time, on a
// thread of its own.
//
// The lock screen checks the other end before it sends anything: the pipe's
// owner is SYSTEM (a pipe a customer's program made is the customer's), and
// its server process is the process the service control manager runs as the
// installed service ZalvoService, as LocalSystem, from its registered file.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/log_sink.h"
#include "platform/password_channel.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {

inline constexpr wchar_t kPasswordPipeName[] = L"\\\\.\\pipe\\ZalvoPasswords";
// The service the channel belongs to (the agent's service name).
inline constexpr wchar_t kPasswordServiceName[] = L"ZalvoService";

// The lock screen's end. mark_key: the service's mark below
// HKEY_LOCAL_MACHINE; service_name: the service whose process must serve the
// pipe.
std::unique_ptr<platform::PasswordChannel> MakePasswordPipeClient(
    std::wstring mark_key, std::wstring service_name = kPasswordServiceName,
    std::wstring pipe_name = kPasswordPipeName);

// The service's end and its thread.
class PasswordPipeServer {
 public:
  struct Options {
    // The reply to one request's bytes; called on the server's thread.
    std::function<std::string(std::string_view request)> answer;
    // Called at the start of the thread and then every upkeep_period.
    std::function<void()> upkeep;
    std::chrono::milliseconds upkeep_period{10000};
    // The one program served: the installed lock screen (empty: any).
    std::wstring lock_screen;
    platform::LogSink log;
    std::wstring pipe_name = kPasswordPipeName;
  };

  explicit PasswordPipeServer(Options options);
  ~PasswordPipeServer();
  PasswordPipeServer(const PasswordPipeServer&) = delete;
  PasswordPipeServer& operator=(const PasswordPipeServer&) = delete;

  // Makes the pipe and starts the thread. A name another program holds is
  // logged, and the thread tries again at every upkeep. True when the pipe
  // was made.
  bool Start();
  // Ends the thread within a moment, also while it serves a client.
  void Stop();

 private:
  bool MakePipe();
  void Run();
  // Waits for a client on the pipe; false when it can't (logged).
  bool Listen(OVERLAPPED& overlapped, HANDLE connected);
  void Serve();
  // Logs what a client did wrong, at most once a minute with the count.
  void Complain(const std::string& line);

  Options options_;
  ScopedHandle stop_;
  ScopedHandle pipe_;
  std::string last_failure_;
  int complaints_ = 0;
  std::chrono::steady_clock::time_point complained_{};
  std::thread thread_;
};

}  // namespace zalvo::win32
