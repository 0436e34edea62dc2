// The station settings: a boolean per flag, a text per text key, and for
// each number its text. The agent holds them in memory (the three integers it
// uses come with every load); the lock screen takes a copy of its settings
// dialog's controls when it writes the policies or saves.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/keys.h"

namespace zalvo::settings {

class StationSettings {
 public:
  // Every text empty and every flag off.
  StationSettings() = default;

  // The agent's values before any load: texts empty, flags off except Hide
  // and PlayGame.
  static StationSettings AgentInitial();

  bool Flag(Key key) const { return flags_[Index(key)]; }
  const std::string& Text(Key key) const { return texts_[Index(key)]; }
  void SetFlag(Key key, bool on) { flags_[Index(key)] = on; }
  void SetText(Key key, std::string value) { texts_[Index(key)] = std::move(value); }

 private:
  std::array<bool, kKeyCount> flags_{};
  std::array<std::string, kKeyCount> texts_{};
};

// The result of the agent's load: every value of the file (a key that is
// absent becomes empty or off, a number its default text) and the three
// integers, each its default when its text is not an integer.
struct AgentLoad {
  StationSettings settings;
  int32_t check_period = 10;     // from ClosePasswordForm
  int32_t grace_seconds = 6000;  // from AutoShutDownSec
  int32_t report_period = 60;    // from SendDataTime
};

AgentLoad ParseAgentSettings(std::string_view file_bytes);

// The file the agent writes: SearchPage with the fixed address, then every
// key of the key table (keys.h) but PlayMusic; flags as "1" or "0", texts and numbers as
// held, empty values left out, every line ending CR LF.
std::string FormatAgentSettings(const StationSettings& settings);

}  // namespace zalvo::settings
