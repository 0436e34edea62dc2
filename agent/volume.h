// The master volume of the station's speakers: the volume component with its
// three properties Mute, Volume (0 to 100 percent of full scale) and Balance
// (-100 left to 100 right), over the speaker line of mixer device 0.
//
// The arithmetic is exact integer arithmetic with truncating divisions, each
// product formed before its division, so that a level written and read back
// gives the same numbers on every station (volume 50 with balance 20 is left
// 26213 and right 32767, which reads back as volume 49 and balance 20).
#pragma once

#include <cstdint>

#include "platform/log_sink.h"
#include "platform/mixer.h"

namespace zalvo::agent {

// The values the component is given when the agent starts: speakers unmuted,
// both channels at volume 4 (2621 of 65535).
inline constexpr bool kStartMute = false;
inline constexpr int32_t kStartVolume = 4;
inline constexpr int32_t kStartBalance = 0;

// The two channel levels of a volume and a balance.
platform::StereoLevels LevelsOf(int32_t volume, int32_t balance);

// The volume and balance that two channel levels read as. Levels above full
// scale count as full scale.
struct VolumeReading {
  int32_t volume = 0;
  int32_t balance = 0;
};
VolumeReading ReadingOf(platform::StereoLevels levels);

class VolumeController {
 public:
  explicit VolumeController(platform::Mixer& mixer);

  // What the agent does with the component at every start: its creation
  // (find the controls, mute off, read the current levels), then the start
  // values in the order Mute, Volume, Balance. A step the mixer refuses is
  // logged and the next one still runs.
  void Start(const platform::LogSink& log = {});

  // Speakers that were missing and may still appear (see
  // Mixer::ControlsMayAppear) are looked for again; when they are found now,
  // they get the start values as at a start. Returns whether the speakers
  // have a control now.
  bool LookAgain(const platform::LogSink& log = {});

  bool HasVolumeControl() const { return controls_.volume; }
  bool HasMuteControl() const { return controls_.mute; }

  // The value last written; the mixer is not asked.
  bool Mute() const { return mute_; }
  void SetMute(bool on);

  // Reading re-reads the mixer. Writing accepts 0 to 100 (Volume) or -100 to
  // 100 (Balance) and ignores any other value without effect.
  int32_t Volume();
  void SetVolume(int32_t volume);
  int32_t Balance();
  void SetBalance(int32_t balance);

  // "ACTION VOLUME": sets the volume, then mutes exactly when the level read
  // back is 0 (also when the value was out of range and so ignored: the mute
  // then follows the level already set). Without a volume control nothing is
  // set, read or muted.
  void ApplyServerVolume(int32_t volume);

  // The mixer steps. Without the control concerned each does nothing; a
  // refusal of the mixer throws PlatformError.
  void OpenSpeakerControls();
  void ApplyLevels(int32_t volume, int32_t balance);
  void ReadLevels();
  void ApplyMute(bool on);

 private:
  void StartSteps(const platform::LogSink& log);

  platform::Mixer& mixer_;
  platform::SpeakerControls controls_;
  bool mute_ = false;
  int32_t volume_ = 0;
  int32_t balance_ = 0;
};

}  // namespace zalvo::agent
