// The agent's load and save of krvini.ini.
#pragma once

#include <functional>

#include "agent/agent_state.h"
#include "platform/files.h"
#include "platform/log_sink.h"

namespace zalvo::agent {

class SettingsStore {
 public:
  SettingsStore(AgentState& state, platform::StationFiles& files, platform::LogSink log = {});

  // Reads the file and replaces the settings and the three periods at once.
  // A file that can't be read changes nothing, silently.
  void Load();

  // Writes the file from the settings (the caller runs the policy writer
  // first). A failure throws PlatformError and leaves the old file.
  void Save();

 private:
  std::string Path();

  AgentState& state_;
  platform::StationFiles& files_;
  platform::LogSink log_;
};

}  // namespace zalvo::agent
