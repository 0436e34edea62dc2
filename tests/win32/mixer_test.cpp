// The Core Audio speakers: without an audio endpoint (as under Wine on a
// machine without sound) the volume component finds no controls and its
// commands do nothing, without a crash; with one, levels written read back
// as written.
#include <windows.h>
// After windows.h.
#include <objbase.h>

#include <gtest/gtest.h>

#include "agent/volume.h"
#include "platform/error.h"
#include "platform/win32/core_audio_mixer.h"

namespace zalvo::win32 {
namespace {

TEST(CoreAudioMixer, TheVolumeComponentRunsOverWhateverSpeakersThereAre) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  auto mixer = MakeCoreAudioMixer();
  agent::VolumeController volume(*mixer);
  std::vector<std::string> log;
  volume.Start([&](std::string_view line) { log.emplace_back(line); });
  for (const std::string& line : log) {
    EXPECT_EQ(line.find("failed"), std::string::npos) << line;
  }
  EXPECT_NO_THROW(volume.ApplyServerVolume(50));
  EXPECT_NO_THROW(volume.ApplyServerVolume(0));
  std::printf("speakers: %s\n",
              volume.HasVolumeControl() ? "volume control found" : "no volume control");
  if (volume.HasVolumeControl()) {
    volume.SetVolume(50);
    volume.SetBalance(20);
    EXPECT_EQ(mixer->VolumeLevels(), (platform::StereoLevels{26213, 32767}));
    EXPECT_EQ(volume.Volume(), 49);
    volume.Start();
  } else {
    EXPECT_THROW(mixer->VolumeLevels(), platform::PlatformError);
    EXPECT_THROW(mixer->SetVolumeLevels({1, 1}), platform::PlatformError);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace zalvo::win32
