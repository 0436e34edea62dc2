// The machine as the program's own account reaches it: its privileges, the
// end of Windows or of the caller's Windows session, and the free space of
// drive C. A service does these from its own account; nothing here goes
// through the customer's session.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zalvo::platform {

// What ShutDownSystem does to Windows.
enum class PowerOff : uint8_t { kRestart, kShutDown };

class Machine {
 public:
  virtual ~Machine() = default;

  // Enables one privilege, by name, in the process's own token with the
  // two-step adjustment (ask for the previous state, then set the enabled
  // bit in it). False when the name is unknown or the account does not hold
  // the privilege.
  [[nodiscard]] virtual bool EnablePrivilege(std::string_view name) = 0;

  // Restarts or shuts Windows down (InitiateSystemShutdownEx), from any
  // session, a service's included: running programs are closed without
  // being asked, at once, for a planned reason. Needs the shutdown privilege
  // enabled. Returns when Windows has taken it; throws PlatformError with
  // the system's reason when it refused, of the kind kInUse when another
  // restart or shut-down stands in the way (under way, or waiting for its
  // time-out: platform/pending_shutdown.h).
  virtual void ShutDownSystem(PowerOff what) = 0;

  // Ends the caller's Windows session with force (ExitWindowsEx with
  // EWX_LOGOFF | EWX_FORCE); false when the system refused.
  [[nodiscard]] virtual bool LogOff() = 0;

  // Free bytes of drive C available to the process's account; nullopt when
  // they can't be read.
  [[nodiscard]] virtual std::optional<uint64_t> FreeBytesOnDriveC() = 0;
};

}  // namespace zalvo::platform
