#include "lockscreen/remaining_time.h"

#include "lockscreen/strings.h"
#include "platform/error.h"
#include "settings/registry_names.h"

namespace zalvo::lockscreen {

std::string RemainingTimeText(int32_t seconds) {
  // Integer division truncates toward zero: -59 s is "0", -60 s is "-1".
  return std::to_string(seconds / 60) + strings::Cp1251(strings::kMinutesSuffix);
}

MelodyStep DecideMelody(const std::string& melody_path, int32_t seconds, bool playing) {
  if (melody_path.empty()) {
    return MelodyStep::kNothing;
  }
  if (seconds >= 0) {
    return MelodyStep::kStop;
  }
  return playing ? MelodyStep::kNothing : MelodyStep::kPlay;
}

RemainingTime::RemainingTime(platform::Registry& registry, const DialogModel& dialog,
                             MainView& main, RestTimeView& view, Melody& melody)
    : registry_(registry), dialog_(dialog), main_(main), view_(view), melody_(melody) {}

void RemainingTime::Toggle() {
  checked_ = !checked_;
  main_.SetRestTimeChecked(checked_);
  if (!checked_) {
    return;
  }
  try {
    if (!view_.Visible()) {
      view_.Show();
      Shown();
    }
    view_.SetLabel("");
  } catch (const platform::PlatformError&) {
    // The window could not be shown: the mark stays, nothing else happens.
  }
}

void RemainingTime::Shown() {
  checked_ = true;
  main_.SetRestTimeChecked(true);
  ticking_ = true;
  view_.StartTimer();
}

void RemainingTime::Closed() {
  view_.StopTimer();
  ticking_ = false;
  checked_ = false;
  main_.SetRestTimeChecked(false);
}

void RemainingTime::Tick() {
  if (!ticking_) {
    return;
  }
  // Reading is all a standard account may do with the Winlogon key.
  auto key = registry_.Open(platform::Hive::kLocalMachine, settings::kWinlogonKey,
                            platform::Access::kRead);
  if (!key) {
    return;
  }
  try {
    std::optional<uint32_t> stored = key->ReadDword(settings::kLocalTimer);
    if (!stored) {
      return;
    }
    // The agent stores the seconds as a signed 32-bit number.
    const auto seconds = static_cast<int32_t>(*stored);
    view_.SetLabel(RemainingTimeText(seconds));
    const std::string& melody = dialog_.Text(Ctl::edPlayMusic);
    switch (DecideMelody(melody, seconds, melody_.Playing())) {
      case MelodyStep::kPlay:
        melody_.Play(melody);
        break;
      case MelodyStep::kStop:
        melody_.Stop();
        break;
      case MelodyStep::kNothing:
        break;
    }
  } catch (const platform::PlatformError&) {
    // A value of another type or a melody that can't be played: the next
    // tick tries again.
  }
}

}  // namespace zalvo::lockscreen
