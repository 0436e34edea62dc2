// The Linux harness: the agent over a simulated station in a temporary folder.
#pragma once

#include <filesystem>

#include "platform/sim/station.h"
#include "tests/e2e/agent_harness.h"
#include "tests/support/child_process.h"

namespace zalvo::testing {

struct ToolRun {
  int exit_code = -1;
  std::string output;  // standard output and error, UTF-8
};

class SimHarness final : public AgentHarness {
 public:
  SimHarness();
  ~SimHarness() override;

  void WriteSettings(const std::string& bytes) override;
  std::string ReadSettings() override;
  void RemoveSettings() override;
  platform::Registry& registry() override { return station_->registry(); }
  void Start(int tick_ms) override;
  void Stop() override;
  void Kill() override;
  bool Running() override { return process_ && process_->Running(); }
  std::string Output() override;

  const std::filesystem::path& root() const { return root_; }
  sim::Station& station() { return *station_; }
  // Writes a file of the station folder (UTF-8 text files such as windows.txt).
  void WriteStationFile(const std::string& relative, const std::string& content);
  std::string ReadStationFile(const std::string& relative);
  // The running agent's process id, or 0.
  int64_t ProcessId();
  // Sends a signal to the agent (SIGUSR1 pauses its tick, SIGUSR2 continues).
  void Signal(int signal);
  // Runs a built program (such as zalvoctl) to its end, at most 15 s, with
  // its output in the station folder.
  ToolRun RunToEnd(const std::string& program, const std::vector<std::string>& args);
  // The events of the journal, without their time stamps.
  std::vector<std::string> JournalEvents();

 private:
  std::filesystem::path root_;
  std::unique_ptr<sim::Station> station_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace zalvo::testing
