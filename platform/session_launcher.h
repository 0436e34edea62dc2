// Starting the agent's session helper: a process in the Windows session of
// the user logged on at the console, running as that user, joined to the
// service by a channel that only the two hold.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::platform {

using Deadline = std::chrono::steady_clock::time_point;

// One started helper: its channel and its process. Ending the object ends
// the process.
class HelperProcess {
 public:
  virtual ~HelperProcess() = default;

  // Writes all the bytes; false when the deadline passed first. A channel
  // that is broken throws PlatformError.
  [[nodiscard]] virtual bool Write(std::string_view bytes, Deadline deadline) = 0;

  // Reads what has arrived, at most size bytes, waiting until the deadline
  // for the first. nullopt when the deadline passed, 0 when the helper
  // closed the channel; a broken channel throws PlatformError.
  [[nodiscard]] virtual std::optional<size_t> Read(char* data, size_t size, Deadline deadline) = 0;

  [[nodiscard]] virtual bool Running() = 0;
  // Ends the process at once.
  virtual void Terminate() = 0;

  virtual uint32_t ProcessId() const = 0;
  // The Windows session the helper runs in.
  virtual uint32_t SessionId() const = 0;
};

struct LaunchResult {
  enum class Outcome : uint8_t {
    kStarted,
    kNobodyLoggedOn,  // no session at the console, or nobody logged on there
    kFailed,
  };
  Outcome outcome = Outcome::kFailed;
  std::unique_ptr<HelperProcess> process;  // when started
  std::string reason;                      // when failed: the system's words
};

class SessionLauncher {
 public:
  virtual ~SessionLauncher() = default;

  // The session attached to the console now; nullopt when there is none.
  [[nodiscard]] virtual std::optional<uint32_t> ConsoleSession() = 0;

  // Starts the helper in the console session as the user logged on there.
  [[nodiscard]] virtual LaunchResult Launch() = 0;

  // Ends a process from the service's own account. The process is opened
  // first (so that its id can't name another one meanwhile), then refused
  // unless it runs in the given session, as an account that is none of the
  // system's own (SystemAccountSid), and is not critical to Windows.
  // nullopt when it was ended, otherwise why not.
  [[nodiscard]] virtual std::optional<std::string> TerminateInSession(uint32_t session,
                                                                      uint32_t process_id,
                                                                      uint32_t exit_code) = 0;
};

// Whether a SID (text form) is one of the accounts Windows runs its own
// processes as, which a kill from the service never ends: SYSTEM, LOCAL
// SERVICE, NETWORK SERVICE, and a session's window-manager and font-driver
// accounts.
bool SystemAccountSid(std::string_view sid);

}  // namespace zalvo::platform
