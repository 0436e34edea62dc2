#include "agent/station_actions.h"

#include <exception>

#include "settings/policies.h"

namespace zalvo::agent {

StationActions::StationActions(AgentState& state, Replies& replies, StationParts parts,
                               platform::LogSink log)
    : state_(state),
      replies_(replies),
      parts_(parts),
      log_(std::move(log)),
      settings_(state, parts.files, log_),
      sessions_(state, parts.registry, parts.desktop, log_, parts.customer, parts.wall_clock,
                parts.pending_shutdown),
      reports_(state, replies, parts.desktop.windows, parts.desktop.machine),
      programs_(parts.desktop.windows, parts.desktop.shell, log_),
      peripherals_(parts.desktop.presence) {
  // The speakers get their start values at every start of the agent.
  if (parts.mixer != nullptr) {
    volume_.emplace(*parts.mixer);
    volume_->Start(log_);
  }
}

void StationActions::LoadSettings() {
  settings_.Load();
}

void StationActions::SaveSettings() {
  WritePolicies();
  settings_.Save();
}

void StationActions::SendPing(const ReplyContext& to) {
  reports_.SendPing(to);
}

void StationActions::WritePolicies() {
  const std::string& server_ip = state_.settings.Text(settings::Key::ServerIP);
  auto plan =
      settings::BuildPolicyPlan(state_.settings, server_ip, settings::PolicyVariant::kAgent);
  platform::Registry* registry = &parts_.registry;
  platform::CustomerRegistry::Choice customer;
  if (parts_.customer_registry != nullptr) {
    customer = parts_.customer_registry->Choose();
    registry = customer.registry.get();
    log_("policies: " + customer.whose);
  }
  // The writer reports nothing: a refused value ends its pass, silently.
  if (auto failure = settings::ApplyPolicyPlan(*registry, plan)) {
    log_(std::string("policies written in part: ") + failure->what());
  }
}
void StationActions::RestoreSession() {
  sessions_.Restore();
}
void StationActions::StartSession(int32_t seconds) {
  sessions_.Start(seconds);
}
void StationActions::EndSession(int32_t seconds_left) {
  sessions_.End(seconds_left);
}
void StationActions::StartInstallSession(const ReplyContext& to) {
  // A failure of either step is absorbed (only logged), and ends the
  // sequence: the command is still answered.
  try {
    sessions_.Start(kInstallSeconds);
    reports_.SendInfo(to);
  } catch (const std::exception& e) {
    log_(std::string("installation session failed: ") + e.what());
  }
}
void StationActions::ForcedReboot() {
  sessions_.ForcedReboot();
}
void StationActions::ForcedShutdown() {
  sessions_.ForcedShutdown();
}
void StationActions::SendInfo(const ReplyContext& to) {
  reports_.SendInfo(to);
}
void StationActions::RunProgram(const std::string& command_line) {
  programs_.Run(command_line);
}
void StationActions::KillWindow(const std::string& caption, std::vector<std::string>& listed) {
  programs_.KillWindow(caption, listed);
}
std::vector<std::string> StationActions::ListWindows() {
  std::vector<std::string> listed;
  programs_.ListWindows(listed);
  return listed;
}
void StationActions::MonitorOff() {
  peripherals_.MonitorOff();
}
void StationActions::MonitorOn() {
  peripherals_.MonitorOn();
}
void StationActions::ParkMouse() {
  peripherals_.ParkMouse();
}
void StationActions::ExpiryBeep() {
  peripherals_.ExpiryBeep();
}
void StationActions::ShowMessage(const std::string& text) {
  if (peripherals_.ShowMessage(text)) {
    log_("message shown: " + text);
  } else {
    log_("message not shown: nobody is logged on at the console: " + text);
  }
}
void StationActions::SetVolume(int32_t volume) {
  // Without a mixer device there are no speakers to set.
  if (!volume_ || !volume_->LookAgain(log_)) {
    log_("volume " + std::to_string(volume) + " not set: no speakers to set");
    return;
  }
  volume_->ApplyServerVolume(volume);
}

void StationActions::Upkeep() {
  sessions_.KeepCurrent();
  sessions_.RetryPowerOff();
  if (parts_.helper_supervisor != nullptr) {
    parts_.helper_supervisor->Upkeep();
  }
  if (parts_.lock_screen != nullptr) {
    parts_.lock_screen->Upkeep(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count()),
        state_.session_active);
  }
  // Speakers that may appear late are looked for every ten seconds, however
  // short the tick.
  constexpr auto kSpeakerLookPeriod = std::chrono::seconds(10);
  auto now = std::chrono::steady_clock::now();
  if (volume_ && now - last_speaker_look_ >= kSpeakerLookPeriod) {
    last_speaker_look_ = now;
    volume_->LookAgain(log_);
  }
}

}  // namespace zalvo::agent
