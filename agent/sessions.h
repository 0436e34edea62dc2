// Customer sessions: the hand-off to Windows and the lock screen through the
// five values under the Windows log-on key, the workstation lock, and the
// forced restart and shut-down of Windows.
//
// The marker ZalvoLogon decides the restart: a start restarts only when the
// previous marker was exactly "0" (a session ended before), an end restarts
// when it was anything else (absent included), so that Windows comes up with
// the automatic log-on it has just been given. A restart or shut-down that
// Windows refuses is logged and asked for again a few times (every
// kPowerOffRetryTicks ticks, at most kPowerOffRetries times).
#pragma once

#include <string>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "agent/command_dispatcher.h"
#include "agent/customer_account.h"
#include "platform/desktop.h"
#include "platform/registry.h"
#include "platform/system_shutdown.h"

namespace zalvo::agent {

// The password of the account that Windows logs on automatically during a
// session (the customer account, customer_account.h): every customer
// account must have it.
inline constexpr std::string_view kSessionPassword = "946";

// The time an installation session grants: 4 hours 26 minutes 40 seconds.
inline constexpr int32_t kInstallSeconds = 16000;

inline constexpr int kPowerOffRetries = 3;
inline constexpr int kPowerOffRetryTicks = 5;

class Sessions {
 public:
  Sessions(AgentState& state, platform::Registry& registry, platform::Desktop& desktop,
           LogSink log = {}, CustomerAccount customer = {});

  // Gives the session that many seconds, marks it active, switches the
  // monitor on when ShutDownMonitor is on (a switch that fails is only
  // logged: the hand-off matters more), writes the log-on values
  // (AutoAdminLogon "1", DefaultUserName and, when known, DefaultDomainName
  // of the customer account, DefaultPassword, ZalvoLogon "1", LocalTimer =
  // the seconds), and restarts Windows when the previous marker was "0". A
  // value that can't be read or written throws PlatformError; what was
  // written stays and the key is closed.
  void Start(int32_t seconds);

  // Leaves the session that many seconds. With time left, nothing more.
  // Otherwise marks the session ended, writes AutoAdminLogon "0",
  // ZalvoLogon "0" and LocalTimer 0, locks the workstation and restarts
  // Windows unless the previous marker was "0". Throws like Start.
  void End(int32_t seconds_left);

  // Restart or shut-down with force, when the account holds the shutdown
  // privilege; nothing otherwise.
  void ForcedReboot();
  void ForcedShutdown();

  // On every tick: asks again for a restart or shut-down that Windows
  // refused, when its turn has come.
  void RetryPowerOff() { power_off_.Retry(); }

 private:
  void Log(const std::string& line) const;

  AgentState& state_;
  platform::Registry& registry_;
  platform::Desktop& desktop_;
  LogSink log_;
  CustomerAccount customer_;
  platform::SystemShutdown power_off_;
};

}  // namespace zalvo::agent
