// The simulated station's speakers: mixer.txt in the station folder.
//
//   volume=<left> <right>    the volume control, 0 to 65535 per channel
//   mute=<0 or 1>            the mute control
//
// Lines starting with "#" are comments. A station without mixer.txt has no
// mixer device; a file without the volume or the mute line has a speaker
// line without that control. Which controls exist is decided once, when the
// agent opens the mixer; the levels are read from the file at every use and
// every change rewrites its line and goes to the journal.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/mixer.h"
#include "platform/sim/journal.h"

namespace zalvo::sim {

class SimMixer final : public platform::Mixer {
 public:
  SimMixer(std::filesystem::path file, Journal& journal);

  platform::SpeakerControls OpenSpeakerControls() override;
  void SetVolumeLevels(platform::StereoLevels levels) override;
  platform::StereoLevels VolumeLevels() override;
  void SetMute(bool on) override;

  // The file's content for the given controls and values.
  static std::string FormatFile(platform::StereoLevels levels, bool mute);

 private:
  void Rewrite(std::string_view key, const std::string& value);

  std::filesystem::path file_;
  Journal& journal_;
  std::mutex mutex_;
  platform::SpeakerControls controls_;
};

}  // namespace zalvo::sim
