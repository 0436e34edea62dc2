// The agent's worker state. One mutex of the runtime guards all of it: the
// dispatcher, the tick and every send run under that lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/station_settings.h"

namespace zalvo::agent {

struct AgentState {
  // The session: what every part of the agent that asks whether a session
  // runs is told. Set by the commands and the tick, kept across the
  // service's restarts (agent/session_store.h).
  bool session_active = false;
  // Seconds left of the session; lowered on every tick whether or not a
  // session runs, so it goes below zero after expiry.
  int32_t remaining_seconds = 0;
  // Caption of the foreground window at the last status report.
  std::string last_caption;
  // Ticks between over-time checks (ClosePasswordForm), between status reports
  // (SendDataTime), and seconds past expiry before the automatic end
  // (AutoShutDownSec). A period of 0 never fires.
  int32_t check_period = 0;
  int32_t report_period = 0;
  int32_t grace_seconds = 0;
  // Cyclic tick counter, 1 to 99.
  int32_t tick_counter = 0;
  settings::StationSettings settings = settings::StationSettings::AgentInitial();
  // Upper-cased captions of the top-level windows at the last listing, which
  // "ACTION KILL" looks its caption up in.
  std::vector<std::string> window_list;
};

}  // namespace zalvo::agent
