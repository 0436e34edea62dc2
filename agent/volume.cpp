#include "agent/volume.h"

#include <algorithm>
#include <exception>
#include <string>

namespace zalvo::agent {
namespace {

constexpr int32_t kFullScale = static_cast<int32_t>(platform::kMaxMixerLevel);

int32_t Clamped(uint32_t level) {
  return static_cast<int32_t>(std::min(level, platform::kMaxMixerLevel));
}

}  // namespace

platform::StereoLevels LevelsOf(int32_t volume, int32_t balance) {
  // Volume 0..100 and balance -100..100 keep every product below 2^24.
  int32_t level = volume * kFullScale / 100;
  int32_t left = level;
  int32_t right = level;
  if (balance >= 0) {
    left = level * (100 - balance) / 100;
  } else {
    right = level * (100 + balance) / 100;
  }
  return {static_cast<uint32_t>(left), static_cast<uint32_t>(right)};
}

VolumeReading ReadingOf(platform::StereoLevels levels) {
  int32_t left = Clamped(levels.left);
  int32_t right = Clamped(levels.right);
  int32_t loudest = std::max(left, right);
  VolumeReading reading;
  reading.volume = loudest * 100 / kFullScale;
  // Division truncates towards zero: negative when the left is louder.
  reading.balance = reading.volume == 0 ? 0 : (right - left) * 100 / loudest;
  return reading;
}

VolumeController::VolumeController(platform::Mixer& mixer) : mixer_(mixer) {}

void VolumeController::Start(const platform::LogSink& log) {
  StartSteps(log);
  if (!controls_.volume && !controls_.mute) {
    log(mixer_.ControlsMayAppear()
            ? "volume: no speakers yet; they get the start values when they appear"
            : "volume: no speaker controls on this station; volume commands do nothing");
  } else {
    log("volume: speakers at volume " + std::to_string(volume_) + ", balance " +
        std::to_string(balance_) + (mute_ ? ", muted" : ""));
  }
}

bool VolumeController::LookAgain(const platform::LogSink& log) {
  if (controls_.volume || controls_.mute) {
    return true;
  }
  if (!mixer_.ControlsMayAppear()) {
    return false;
  }
  StartSteps(log);
  if (!controls_.volume && !controls_.mute) {
    return false;
  }
  log("volume: the speakers appeared; set to volume " + std::to_string(volume_) + ", balance " +
      std::to_string(balance_) + (mute_ ? ", muted" : ""));
  return true;
}

void VolumeController::StartSteps(const platform::LogSink& log) {
  auto step = [&](const char* what, auto&& action) {
    try {
      action();
    } catch (const std::exception& e) {
      log(std::string("volume: ") + what + " failed: " + e.what());
    }
  };
  step("finding the speaker controls", [&] { OpenSpeakerControls(); });
  step("unmuting", [&] { SetMute(false); });
  step("reading the levels", [&] { ReadLevels(); });
  step("unmuting", [&] { SetMute(kStartMute); });
  step("setting the start volume", [&] { SetVolume(kStartVolume); });
  step("setting the start balance", [&] { SetBalance(kStartBalance); });
}

void VolumeController::SetMute(bool on) {
  mute_ = on;
  ApplyMute(on);
}

int32_t VolumeController::Volume() {
  ReadLevels();
  return volume_;
}

void VolumeController::SetVolume(int32_t volume) {
  if (volume < 0 || volume > 100) {
    return;
  }
  volume_ = volume;
  ApplyLevels(volume, balance_);
}

int32_t VolumeController::Balance() {
  ReadLevels();
  return balance_;
}

void VolumeController::SetBalance(int32_t balance) {
  if (balance < -100 || balance > 100) {
    return;
  }
  balance_ = balance;
  ApplyLevels(volume_, balance);
}

void VolumeController::ApplyServerVolume(int32_t volume) {
  if (!controls_.volume) {
    return;
  }
  SetVolume(volume);
  SetMute(Volume() == 0);
}

void VolumeController::OpenSpeakerControls() {
  controls_ = mixer_.OpenSpeakerControls();
}

void VolumeController::ApplyLevels(int32_t volume, int32_t balance) {
  if (controls_.volume) {
    mixer_.SetVolumeLevels(LevelsOf(volume, balance));
  }
}

void VolumeController::ReadLevels() {
  if (controls_.volume) {
    VolumeReading reading = ReadingOf(mixer_.VolumeLevels());
    volume_ = reading.volume;
    balance_ = reading.balance;
  }
}

void VolumeController::ApplyMute(bool on) {
  if (controls_.mute) {
    mixer_.SetMute(on);
  }
}

}  // namespace zalvo::agent
