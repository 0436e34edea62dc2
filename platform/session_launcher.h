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

  // Ends a process from the service's own account, when the process runs in
  // the given session (so that nothing outside the customer's session can be
  // named); false when it does not or could not be ended.
  [[nodiscard]] virtual bool TerminateInSession(uint32_t session, uint32_t process_id,
                                                uint32_t exit_code) = 0;
};

}  // namespace zalvo::platform
