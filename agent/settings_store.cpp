#include "agent/settings_store.h"

#include "platform/error.h"
#include "settings/settings_file.h"

namespace zalvo::agent {

SettingsStore::SettingsStore(AgentState& state, platform::StationFiles& files,
                             platform::LogSink log)
    : state_(state), files_(files), log_(std::move(log)) {}

std::string SettingsStore::Path() {
  return settings::SettingsFilePath(files_.WindowsDirectory(), settings::kSettingsFileName);
}

void SettingsStore::Load() {
  std::string content;
  std::string path;
  try {
    path = Path();
    content = files_.Read(path);
  } catch (const platform::PlatformError& e) {
    log_(std::string("settings not loaded: ") + e.what());
    return;
  }
  settings::AgentLoad load = settings::ParseAgentSettings(content);
  state_.settings = std::move(load.settings);
  state_.check_period = load.check_period;
  state_.grace_seconds = load.grace_seconds;
  state_.report_period = load.report_period;
  log_("settings loaded from " + path);
}

void SettingsStore::Save() {
  std::string path = Path();
  files_.Replace(path, settings::FormatAgentSettings(state_.settings));
  log_("settings saved to " + path);
}

}  // namespace zalvo::agent
