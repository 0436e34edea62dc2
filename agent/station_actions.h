// The agent's operations carried out on a real or simulated station.
#pragma once

#include <chrono>
#include <optional>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "agent/customer_account.h"
#include "agent/helper_supervisor.h"
#include "agent/lock_screen_keeper.h"
#include "agent/peripherals.h"
#include "agent/programs.h"
#include "agent/reports.h"
#include "agent/sessions.h"
#include "agent/settings_store.h"
#include "agent/volume.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/log_sink.h"
#include "platform/mixer.h"
#include "platform/pending_shutdown.h"
#include "platform/registry.h"

namespace zalvo::agent {

// What the station offers the agent.
struct StationParts {
  platform::Registry& registry;
  platform::StationFiles& files;
  // The desktop's roles: all from the station's desktop, or (the service)
  // the windows, presence and shell through the session helper.
  platform::DesktopRoles desktop;
  // The speakers; none on a station without a mixer device.
  platform::Mixer* mixer = nullptr;
  // Where the current-user part of the policies goes, when it is not the
  // registry's own current user (a service writes the customer's hive).
  platform::CustomerRegistry* customer_registry = nullptr;
  // The session helper that the desktop and the mixer go through, kept up
  // on every tick; none when the agent runs in the customer's session itself.
  HelperSupervisor* helper_supervisor = nullptr;
  // Starts the lock screen again in the customer's session, kept up on every
  // tick; none when the agent is not the service.
  LockScreenUpkeep* lock_screen = nullptr;
  // The account the sessions log on.
  CustomerAccount customer = {};
  // A restart or shut-down that waits for its time-out, which the agent's
  // own restarts abort; none: they wait for it.
  platform::PendingShutdown* pending_shutdown = nullptr;
  // The clock of the kept session; none: the system's.
  WallClock wall_clock = {};
};

class StationActions final : public AgentActions {
 public:
  StationActions(AgentState& state, Replies& replies, StationParts parts,
                 platform::LogSink log = {});

  void LoadSettings() override;
  void WritePolicies() override;
  void SaveSettings() override;
  void RestoreSession() override;
  void StartSession(int32_t seconds) override;
  void EndSession(int32_t seconds_left) override;
  void StartInstallSession(const ReplyContext& to) override;
  void ForcedReboot() override;
  void ForcedShutdown() override;
  void SendPing(const ReplyContext& to) override;
  void SendInfo(const ReplyContext& to) override;
  void RunProgram(const std::string& command_line) override;
  void KillWindow(const std::string& caption, std::vector<std::string>& listed) override;
  std::vector<std::string> ListWindows() override;
  void MonitorOff() override;
  void MonitorOn() override;
  void ParkMouse() override;
  void ExpiryBeep() override;
  void SetVolume(int32_t volume) override;
  void ShowMessage(const std::string& text) override;
  void Upkeep() override;

 private:
  AgentState& state_;
  Replies& replies_;
  StationParts parts_;
  platform::LogSink log_;
  SettingsStore settings_;
  Sessions sessions_;
  Reports reports_;
  Programs programs_;
  Peripherals peripherals_;
  std::optional<VolumeController> volume_;
  std::chrono::steady_clock::time_point last_speaker_look_ = std::chrono::steady_clock::now();
};

}  // namespace zalvo::agent
