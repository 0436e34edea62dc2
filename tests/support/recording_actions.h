// Agent actions for unit tests of the dispatcher and the tick: every call is
// recorded as a line ("SendPing", "RunProgram notepad.exe", "SetVolume 7"),
// and a test can make a named action fail. Replies are recorded too.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "agent/actions.h"
#include "agent/agent_state.h"

namespace zalvo::testing {

class RecordingActions final : public agent::AgentActions, public agent::Replies {
 public:
  explicit RecordingActions(agent::AgentState& state) : state_(state) {}

  std::vector<std::string> calls;    // actions and replies, in order ("reply PING")
  std::set<std::string> failing;     // action names that throw
  std::vector<std::string> listing;  // what ListWindows returns
  settings::StationSettings loaded;  // what LoadSettings installs
  bool load_replaces = false;

  void LoadSettings() override;
  void WritePolicies() override { Call("WritePolicies"); }
  void SaveSettings() override { Call("SaveSettings"); }
  // The seconds go into the state, as the station's sessions keep them.
  void StartSession(int32_t seconds) override {
    state_.remaining_seconds = seconds;
    Call("StartSession");
  }
  void EndSession(int32_t seconds_left) override {
    state_.remaining_seconds = seconds_left;
    Call("EndSession");
  }
  void StartInstallSession(const agent::ReplyContext&) override { Call("StartInstallSession"); }
  void ForcedReboot() override { Call("ForcedReboot"); }
  void ForcedShutdown() override { Call("ForcedShutdown"); }
  void SendPing(const agent::ReplyContext&) override { Call("SendPing"); }
  void SendInfo(const agent::ReplyContext&) override { Call("SendInfo"); }
  void RunProgram(const std::string& command_line) override {
    Call("RunProgram", command_line, true);
  }
  void KillWindow(const std::string& caption, std::vector<std::string>&) override {
    Call("KillWindow", caption, true);
  }
  std::vector<std::string> ListWindows() override {
    Call("ListWindows");
    return listing;
  }
  void MonitorOff() override { Call("MonitorOff"); }
  void MonitorOn() override { Call("MonitorOn"); }
  void ParkMouse() override { Call("ParkMouse"); }
  void ExpiryBeep() override { Call("ExpiryBeep"); }
  void SetVolume(int32_t volume) override { Call("SetVolume", std::to_string(volume)); }
  void ShowMessage(const std::string& text) override { Call("ShowMessage", text, true); }
  void SendText(const agent::ReplyContext&, const std::string& text) override {
    calls.push_back("reply " + text);
  }

 private:
  void Call(const std::string& name, const std::string& argument = "", bool with_argument = false);
  agent::AgentState& state_;
};

}  // namespace zalvo::testing
