#include "agent/station_agent.h"

#include <stdexcept>

#include "settings/policies.h"

namespace zalvo::agent {
namespace {

[[noreturn]] void NotYetBuilt(const char* what) {
  throw std::logic_error(std::string(what) + " is not part of this build yet");
}

}  // namespace

StationAgent::StationAgent(AgentState& state, Replies& replies, StationParts parts, LogSink log)
    : state_(state),
      replies_(replies),
      parts_(parts),
      log_(std::move(log)),
      settings_(state, parts.files, log_),
      sessions_(state, parts.registry, parts.desktop, *this, log_),
      reports_(state, replies, parts.desktop) {}

void StationAgent::LoadSettings() {
  settings_.Load();
}

void StationAgent::SaveSettings() {
  WritePolicies();
  settings_.Save();
}

void StationAgent::SendPing() {
  reports_.SendPing();
}

void StationAgent::WritePolicies() {
  const std::string& server_ip = state_.settings.Text(settings::Key::ServerIP);
  auto plan =
      settings::BuildPolicyPlan(state_.settings, server_ip, settings::PolicyVariant::kAgent);
  // The writer reports nothing: a refused value ends its pass, silently.
  if (auto failure = settings::ApplyPolicyPlan(parts_.registry, plan); failure && log_) {
    log_("policies written in part: " + *failure);
  }
}
void StationAgent::StartSession() {
  sessions_.Start();
}
void StationAgent::EndSession() {
  sessions_.End();
}
void StationAgent::StartInstallSession() {
  sessions_.StartInstall();
}
void StationAgent::ForcedReboot() {
  sessions_.ForcedReboot();
}
void StationAgent::ForcedShutdown() {
  sessions_.ForcedShutdown();
}
void StationAgent::SendInfo() {
  reports_.SendInfo();
}
void StationAgent::RunProgram(const std::string&) {
  NotYetBuilt("RunProgram");
}
void StationAgent::KillWindow(const std::string&) {
  NotYetBuilt("KillWindow");
}
void StationAgent::ListWindows() {
  NotYetBuilt("ListWindows");
}
void StationAgent::MonitorOff() {
  NotYetBuilt("MonitorOff");
}
void StationAgent::MonitorOn() {
  NotYetBuilt("MonitorOn");
}
void StationAgent::ParkMouse() {
  NotYetBuilt("ParkMouse");
}
void StationAgent::ExpiryBeep() {
  NotYetBuilt("ExpiryBeep");
}
void StationAgent::SetVolume(int32_t) {
  NotYetBuilt("SetVolume");
}

}  // namespace zalvo::agent
