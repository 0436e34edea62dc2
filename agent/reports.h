// The reports to the server: the keep-alive "PING" and the status report of
// the foreground application and the free space of drive C.
#pragma once

#include <string_view>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "platform/machine.h"
#include "platform/top_windows.h"

namespace zalvo::agent {

// The privileges asked for, in this order, before the foreground window is
// read; each only when the one before was granted.
inline constexpr std::string_view kReportPrivileges[] = {
    "SeSecurityPrivilege", "SeSystemEnvironmentPrivilege", "SeShutdownPrivilege"};

class Reports {
 public:
  Reports(AgentState& state, Replies& replies, platform::TopWindows& windows,
          platform::Machine& machine);

  void SendPing(const ReplyContext& to);

  // With PlayGame on: "PLAYGAME=" and the caption of the foreground window
  // with a to z upper-cased, when the caption differs from the one of the
  // last report (kept in the state, shared by the periodic and the on-demand
  // report); and "PLAYGAME=0:" with the window's handle while the foreground
  // window has no caption or there is none (handle 0). With FreeDisk on:
  // "INFO  c:" and the free MiB of drive C, then "MB".
  void SendInfo(const ReplyContext& to);

 private:
  bool PrivilegesGranted();

  AgentState& state_;
  Replies& replies_;
  platform::TopWindows& windows_;
  platform::Machine& machine_;
};

}  // namespace zalvo::agent
