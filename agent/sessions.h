// Customer sessions: the hand-off to Windows and the lock screen through the
// five values under the Windows log-on key, the workstation lock, and the
// forced restart and shut-down of Windows.
//
// The marker ZalvoLogon decides the restart: a start restarts only when the
// previous marker was exactly "0" (a session ended before), an end restarts
// when it was anything else (absent included), so that Windows comes up with
// the automatic log-on it has just been given.
#pragma once

#include <string>

#include "agent/actions.h"
#include "agent/agent.h"
#include "agent/agent_state.h"
#include "platform/desktop.h"
#include "platform/registry.h"

namespace zalvo::agent {

// The account that Windows logs on automatically during a session.
inline constexpr std::string_view kSessionUserName = "zalvo";
inline constexpr std::string_view kSessionPassword = "946";

// The time an installation session grants: 4 hours 26 minutes 40 seconds.
inline constexpr int32_t kInstallSeconds = 16000;

inline constexpr std::string_view kShutdownPrivilege = "SeShutdownPrivilege";

class Sessions {
 public:
  // The agent's own actions carry the monitor switch and the status report
  // that a session start and an installation session call.
  Sessions(AgentState& state, platform::Registry& registry, platform::Desktop& desktop,
           AgentActions& agent, LogSink log = {});

  // Marks the session active, switches the monitor on when ShutDownMonitor is
  // on, writes the five log-on values with LocalTimer = the remaining
  // seconds, and restarts Windows when the previous marker was "0". A value
  // that can't be read or written throws PlatformError; what was written
  // stays and the key is closed.
  void Start();

  // With time left, nothing. Otherwise marks the session ended, writes
  // AutoAdminLogon "0", ZalvoLogon "0" and LocalTimer 0, locks the
  // workstation and restarts Windows unless the previous marker was "0".
  // Throws like Start.
  void End();

  // 16000 seconds, a session start and a status report. A failure of either
  // step is absorbed here (it is only logged), and ends that sequence.
  void StartInstall();

  // Restart or shut-down with force, when the account holds the shutdown
  // privilege; nothing otherwise.
  void ForcedReboot();
  void ForcedShutdown();

 private:
  void EndWindows(platform::ExitMode mode, std::string_view what);
  void Log(const std::string& line) const;

  AgentState& state_;
  platform::Registry& registry_;
  platform::Desktop& desktop_;
  AgentActions& agent_;
  LogSink log_;
};

}  // namespace zalvo::agent
