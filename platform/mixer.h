// The station's speakers as the volume component drives them: the speaker
// output line of mixer device 0 with its first volume control (two channels,
// each 0 to 65535) and its first mute control (one value for all channels).
#pragma once

#include <cstdint>

namespace zalvo::platform {

// Full scale of one channel of the volume control.
inline constexpr uint32_t kMaxMixerLevel = 65535;

struct StereoLevels {
  uint32_t left = 0;
  uint32_t right = 0;
  bool operator==(const StereoLevels&) const = default;
};

// Which of the two controls the speaker line offers. A station without a
// mixer device or without a speaker line has neither.
struct SpeakerControls {
  bool volume = false;
  bool mute = false;
};

class Mixer {
 public:
  virtual ~Mixer() = default;

  // Opens mixer device 0 and finds its speaker line's controls. Called once;
  // the controls found then are the ones used for the mixer's whole life.
  // Never throws: what can't be found is simply missing.
  virtual SpeakerControls OpenSpeakerControls() = 0;

  // The two channels of the volume control. Throws PlatformError when the
  // mixer refuses or there is no volume control.
  virtual void SetVolumeLevels(StereoLevels levels) = 0;
  virtual StereoLevels VolumeLevels() = 0;

  // Sets the mute control. Throws PlatformError when the mixer refuses or
  // there is no mute control.
  virtual void SetMute(bool on) = 0;

  // Whether speakers that were missing when the controls were looked for may
  // turn up later (an audio device or service started after the agent, a
  // customer's session that begins later); the agent then looks again.
  virtual bool ControlsMayAppear() const { return false; }
};

}  // namespace zalvo::platform
