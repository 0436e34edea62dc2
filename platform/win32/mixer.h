// The speakers through the winmm mixer functions: the speaker line of mixer
// device 0, its first volume control and its first mute control.
#pragma once

#include <windows.h>
// mmsystem.h needs windows.h first.
#include <mmsystem.h>

#include "platform/mixer.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {

inline void CloseMixer(HMIXER mixer) {
  ::mixerClose(mixer);
}
using ScopedMixer = Scoped<HMIXER, CloseMixer>;

class Win32Mixer final : public platform::Mixer {
 public:
  // Opens nothing yet: OpenSpeakerControls does.
  Win32Mixer() = default;

  platform::SpeakerControls OpenSpeakerControls() override;
  void SetVolumeLevels(platform::StereoLevels levels) override;
  platform::StereoLevels VolumeLevels() override;
  void SetMute(bool on) override;

 private:
  HMIXEROBJ Object() const { return reinterpret_cast<HMIXEROBJ>(mixer_.get()); }

  ScopedMixer mixer_;
  platform::SpeakerControls controls_;
  DWORD volume_control_ = 0;
  DWORD mute_control_ = 0;
  // Channels of the volume control: 2, or 1 on a mono line or a control that
  // sets all channels alike.
  DWORD volume_channels_ = 2;
};

}  // namespace zalvo::win32
