// The volume component over a mixer that returns levels as they were set:
// the start values, the exact arithmetic at the edge values, the "ACTION
// VOLUME" mute rule, and speakers with missing controls.
#include <gtest/gtest.h>

#include <stdexcept>

#include "agent/volume.h"
#include "platform/error.h"

namespace zalvo::agent {
namespace {

using platform::StereoLevels;

class MemoryMixer final : public platform::Mixer {
 public:
  platform::SpeakerControls controls{true, true};
  StereoLevels levels{40000, 20000};
  bool muted = true;
  bool refuse_mute = false;
  int writes = 0;

  platform::SpeakerControls OpenSpeakerControls() override { return controls; }
  void SetVolumeLevels(StereoLevels l) override {
    ASSERT_TRUE(controls.volume);
    ++writes;
    levels = l;
  }
  StereoLevels VolumeLevels() override {
    EXPECT_TRUE(controls.volume);
    return levels;
  }
  void SetMute(bool on) override {
    EXPECT_TRUE(controls.mute);
    if (refuse_mute) {
      throw platform::PlatformError("mute refused");
    }
    ++writes;
    muted = on;
  }
};

class Volume : public ::testing::Test {
 protected:
  void Start() { controller.Start(); }
  // "ACTION VOLUME v"; returns the levels it leaves.
  StereoLevels Command(int32_t v) {
    controller.ApplyServerVolume(v);
    return mixer.levels;
  }
  MemoryMixer mixer;
  VolumeController controller{mixer};
};

TEST_F(Volume, EveryStartUnmutesAndSetsVolumeFourOnBothChannels) {
  Start();
  EXPECT_EQ(mixer.levels, (StereoLevels{2621, 2621}));
  EXPECT_FALSE(mixer.muted);
  EXPECT_FALSE(controller.Mute());
  EXPECT_EQ(controller.Volume(), 3);  // 2621 reads back one lower
  EXPECT_EQ(controller.Balance(), 0);
}

TEST_F(Volume, LevelsAndReadBackFollowTheIntegerArithmetic) {
  Start();
  controller.SetVolume(100);
  EXPECT_EQ(mixer.levels, (StereoLevels{65535, 65535}));
  controller.SetVolume(50);
  controller.SetBalance(20);
  EXPECT_EQ(mixer.levels, (StereoLevels{26213, 32767}));
  EXPECT_EQ(controller.Volume(), 49);
  EXPECT_EQ(controller.Balance(), 20);
  controller.SetVolume(50);  // keeps the balance just read
  controller.SetBalance(-20);
  EXPECT_EQ(mixer.levels, (StereoLevels{32767, 26213}));
  EXPECT_EQ(controller.Balance(), -20);

  controller.SetVolume(80);
  controller.SetBalance(-100);
  EXPECT_EQ(mixer.levels, (StereoLevels{52428, 0}));
  controller.SetBalance(100);
  EXPECT_EQ(mixer.levels, (StereoLevels{0, 52428}));
  EXPECT_EQ(controller.Balance(), 100);

  // Out of range: ignored, the mixer is not touched.
  int writes = mixer.writes;
  controller.SetBalance(101);
  controller.SetBalance(-101);
  controller.SetVolume(101);
  controller.SetVolume(-1);
  EXPECT_EQ(mixer.writes, writes);
  EXPECT_EQ(mixer.levels, (StereoLevels{0, 52428}));
}

TEST_F(Volume, ServerVolumeMutesExactlyWhenTheLevelReadsBackAsZero) {
  Start();
  EXPECT_EQ(Command(50), (StereoLevels{32767, 32767}));
  EXPECT_FALSE(mixer.muted);
  EXPECT_EQ(Command(1), (StereoLevels{655, 655}));  // reads back as 0
  EXPECT_TRUE(mixer.muted);
  EXPECT_EQ(Command(2), (StereoLevels{1310, 1310}));  // reads back as 1
  EXPECT_FALSE(mixer.muted);
  EXPECT_EQ(Command(0), (StereoLevels{0, 0}));
  EXPECT_TRUE(mixer.muted);
  // Out of range: the level stays, the mute follows it.
  EXPECT_EQ(Command(101), (StereoLevels{0, 0}));
  EXPECT_TRUE(mixer.muted);
  Command(30);
  EXPECT_EQ(Command(-5), (StereoLevels{19660, 19660}));
  EXPECT_FALSE(mixer.muted);
}

TEST(VolumeReading, LevelsBeyondFullScaleReadAsFullScale) {
  VolumeReading r = ReadingOf({70000, 0});
  EXPECT_EQ(r.volume, 100);
  EXPECT_EQ(r.balance, -100);
  EXPECT_EQ(ReadingOf({0xFFFFFFFF, 0xFFFFFFFF}).volume, 100);
  EXPECT_EQ(ReadingOf({0, 0}).balance, 0);
  EXPECT_EQ(ReadingOf({1, 0}).balance, 0);  // volume 0 has no balance
}

TEST_F(Volume, MissingControlsMakeTheCommandsDoNothing) {
  mixer.controls = {false, false};  // no mixer device, or no speaker line
  Start();
  Command(50);
  Command(0);
  EXPECT_EQ(mixer.writes, 0);
  EXPECT_EQ(mixer.levels, (StereoLevels{40000, 20000}));
  EXPECT_TRUE(mixer.muted);

  // Volume without mute: the level is set, nothing is muted.
  MemoryMixer volume_only;
  volume_only.controls = {true, false};
  VolumeController second(volume_only);
  second.Start();
  second.ApplyServerVolume(0);
  EXPECT_EQ(volume_only.levels, (StereoLevels{0, 0}));
  EXPECT_TRUE(second.Mute());

  // Mute without volume: with no level to read back the mute is left alone.
  MemoryMixer mute_only;
  mute_only.controls = {false, true};
  VolumeController third(mute_only);
  third.Start();
  EXPECT_FALSE(mute_only.muted);
  third.ApplyServerVolume(0);
  EXPECT_FALSE(mute_only.muted);
}

TEST_F(Volume, AStartStepTheMixerRefusesDoesNotStopTheOthers) {
  mixer.refuse_mute = true;
  std::vector<std::string> log;
  controller.Start([&](std::string_view line) { log.emplace_back(line); });
  EXPECT_EQ(mixer.levels, (StereoLevels{2621, 2621}));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.front().find("mute refused"), std::string::npos);
  // The command's own mute step fails after the level is set; the caller's
  // guard absorbs it.
  EXPECT_THROW(controller.ApplyServerVolume(60), platform::PlatformError);
  EXPECT_EQ(mixer.levels, (StereoLevels{39321, 39321}));
}

}  // namespace
}  // namespace zalvo::agent
