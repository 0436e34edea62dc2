// The console session as the agent's service keeps the lock there: what it
// sees of that session (is the customer account logged on, does the
// installed lock screen run, how far is the log-on), and what it does there
// (start the lock screen, tell it to lock, write the customer's hive).
//
// The lock order can only lock: whoever else sends it does no harm.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry.h"

namespace zalvo::platform {

// What the service sees of the console session at one look.
struct ConsoleSession {
  // The customer account is the one logged on at the console.
  bool customer_logged_on = false;
  // A process of the installed lock screen's own file runs in that session
  // (a copy of it elsewhere, or another program of its name, does not
  // count).
  bool lock_screen_running = false;
  // How long ago the user there logged on, when the system says.
  std::optional<uint64_t> logon_age_ms;
  // The system's own log-on program still runs in that session: the shell
  // is still starting.
  bool shell_starting = false;
};

// What one lock order reached: the installed lock screen's windows that got
// it, and how many of them were showing the lock already.
struct LockOrder {
  uint32_t told = 0;
  uint32_t already_locked = 0;
};

// The service's side, in its own session.
class ConsoleLockScreen {
 public:
  virtual ~ConsoleLockScreen() = default;
  // Throws PlatformError when the system can't say.
  [[nodiscard]] virtual ConsoleSession Look() = 0;
  // Starts the installed lock screen in the console session as the user
  // logged on there. Throws PlatformError with the system's words for why
  // not (of the kind kNotFound when nobody is logged on there).
  virtual void Start() = 0;
  // Tells the installed lock screen's windows in the console session to
  // lock. Throws PlatformError when the order could not be given.
  virtual LockOrder TellToLock() = 0;
  // A registry whose current user is the hive of the user seen at the last
  // look; nullptr when there is none. It lives until the next look.
  [[nodiscard]] virtual Registry* CustomerHive() = 0;
};

// The customer's side, in the console session itself (the service's
// session helper): the main windows of the installed lock screen there.
class LockScreenWindows {
 public:
  virtual ~LockScreenWindows() = default;
  // Posts the lock order to each main window of the session whose process
  // runs the installed lock screen's file.
  virtual LockOrder TellToLock() = 0;
};

}  // namespace zalvo::platform
