// Programs of the agent's folder started by the service in the console
// session, as the user logged on there, on that user's desktop
// (winsta0\default): the session helper with its channel, and any other
// program of the folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "platform/session_launcher.h"

namespace zalvo::win32 {

// Starts "<folder>\<program> --session-helper" with a pipe as its standard
// input and output, which only the service and that process hold.
std::unique_ptr<platform::SessionLauncher> MakeWin32SessionLauncher(std::wstring folder,
                                                                    std::wstring program);

// Starts "<folder>\<program> <arguments>" in the console session as the user
// logged on there, without a channel. The process is left to run.
struct ConsoleStart {
  platform::LaunchResult::Outcome outcome = platform::LaunchResult::Outcome::kFailed;
  uint32_t process_id = 0;
  uint32_t session = 0;
  std::string reason;  // when failed
};
ConsoleStart StartInConsoleSession(const std::wstring& folder, const std::wstring& program,
                                   const std::wstring& arguments);

// The console session as the service sees it, for the installed lock screen
// (its full path): whether the user logged on there is the customer
// account (the one of `customer_sid`; without it, the one whose shell is the
// lock screen), whether a process of the lock screen's own file runs in that
// session, how long ago that user logged on, and whether the system's
// log-on program (userinit, from the system folder) still runs there.
// Throws PlatformError when the system can't say.
struct ConsoleShellLook {
  bool customer_logged_on = false;
  bool running = false;
  std::optional<uint64_t> logon_age_ms;
  bool userinit_running = false;
  std::optional<std::string> sid;  // of the user logged on there
  uint32_t session = 0;            // the console session, when someone is logged on
};
ConsoleShellLook LookAtConsoleShell(const std::wstring& lock_screen,
                                    const std::optional<std::string>& customer_sid);

// The SID (text form) of the user logged on at the console; nullopt when
// nobody is. Throws PlatformError when the system can't say.
std::optional<std::string> ConsoleUserSid();

// Whether the user's hive is loaded (HKEY_USERS\<sid>).
bool UserHiveLoaded(const std::string& sid);

// The SID (text form) of a user account by its name ("name" or
// "DOMAIN\name"); nullopt when there is no such user.
std::optional<std::string> LookUpAccountSid(std::string_view account);

// The computer's NetBIOS name; empty when it can't be read.
std::string ComputerName();

// The helper's end of its channel: its standard input and output, when the
// service started it so (for overlapped I/O, so that one thread may write
// while another waits to read). Nothing else in the helper may write to
// them, and only one thread at a time writes.
class HelperChannelEnd {
 public:
  // nullopt when the standard handles are not the service's pipe (a helper
  // started by hand); the handles are then left alone.
  static std::optional<HelperChannelEnd> FromStandardHandles();

  // At most size bytes, waiting for the first; 0 when the service closed it.
  size_t Read(char* data, size_t size);
  bool Write(std::string_view bytes);

 private:
  explicit HelperChannelEnd(void* pipe) : pipe_(pipe) {}
  void* pipe_;
};

}  // namespace zalvo::win32
