#include "tests/e2e/sim_harness.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/error.h"
#include "platform/sim/sim_files.h"
#include "text/text.h"

namespace zalvo::testing {

std::unique_ptr<AgentHarness> AgentHarness::Create() {
  return std::make_unique<SimHarness>();
}

SimHarness::SimHarness() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zalvo-station-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a station folder");
  }
  root_ = pattern;
  std::filesystem::create_directories(root_ / "windows");
  std::filesystem::create_directories(root_ / "registry");
  // A new station: the Windows log-on key exists, with no values of ours.
  WriteStationFile("registry/HKEY_LOCAL_MACHINE.reg",
                   "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows "
                   "NT\\CurrentVersion\\Winlogon]\n\"Shell\"=\"explorer.exe\"\n");
  WriteStationFile("windows.txt", "");
  station_ = std::make_unique<sim::Station>(root_);
}

SimHarness::~SimHarness() {
  Stop();
  std::error_code ec;
  if (std::getenv("ZALVO_KEEP_STATIONS") == nullptr) {
    std::filesystem::remove_all(root_, ec);
  }
}

void SimHarness::WriteSettings(const std::string& bytes) {
  WriteStationFile("windows/krvini.ini", bytes);
}

std::string SimHarness::ReadSettings() {
  return ReadStationFile("windows/krvini.ini");
}

void SimHarness::RemoveSettings() {
  std::filesystem::remove(root_ / "windows" / "krvini.ini");
}

void SimHarness::Start(int tick_ms) {
  std::vector<std::string> args = {"--station", root_.string(), "--tick-ms",
                                   std::to_string(tick_ms)};
  args.insert(args.end(), extra_arguments.begin(), extra_arguments.end());
  process_ = StartProcess(ZALVOS_PROGRAM, args, (root_ / "agent-output.txt").string());
}

void SimHarness::Kill() {
  if (process_) {
    process_->Kill();
  }
}

int64_t SimHarness::ProcessId() {
  return process_ && process_->Running() ? process_->Id() : 0;
}

void SimHarness::Stop() {
  if (process_) {
    process_->Stop();
  }
}

void SimHarness::Signal(int signal) {
  if (process_) {
    ::kill(static_cast<pid_t>(process_->Id()), signal);
  }
}

std::string SimHarness::Output() {
  return ReadStationFile("agent-output.txt");
}

void SimHarness::WriteStationFile(const std::string& relative, const std::string& content) {
  std::filesystem::create_directories((root_ / relative).parent_path());
  sim::WriteFileAtomically(root_ / relative, content);
}

std::string SimHarness::ReadStationFile(const std::string& relative) {
  try {
    return sim::ReadWholeFile(root_ / relative);
  } catch (const platform::PlatformError&) {
    return {};
  }
}

ToolRun SimHarness::RunToEnd(const std::string& program, const std::vector<std::string>& args) {
  std::string file = (root_ / "tool-output.txt").string();
  auto process = StartProcess(program, args, file);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (process->Running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  bool ended = !process->Running();
  process->Stop();
  return {ended ? process->ExitCode() : -1, ReadStationFile("tool-output.txt")};
}

std::vector<std::string> SimHarness::JournalEvents() {
  std::vector<std::string> events;
  for (const std::string& line : text::SplitLines(ReadStationFile("journal.log"))) {
    // "YYYY-MM-DD HH:MM:SS.mmm event"
    events.push_back(line.size() > 24 ? line.substr(24) : line);
  }
  return events;
}

}  // namespace zalvo::testing
