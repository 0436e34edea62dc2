// The remaining-time window's logic: the toggle of its menu item and check
// mark, and the one-second tick that shows the session time the agent
// recorded in LocalTimer and plays the melody while that time is negative.
#pragma once

#include <cstdint>
#include <string>

#include "lockscreen/dialog_model.h"
#include "lockscreen/views.h"
#include "platform/registry.h"

namespace zalvo::lockscreen {

// The label's text for a time in seconds: whole minutes truncated toward
// zero, then " мин." (Windows-1251).
std::string RemainingTimeText(int32_t seconds);

enum class MelodyStep : uint8_t { kNothing, kPlay, kStop };

// What one tick does with the melody: nothing when no melody is set; stop it
// while the time is not negative; start it (again, once it has played to its
// end) while the time is negative.
MelodyStep DecideMelody(const std::string& melody_path, int32_t seconds, bool playing);

class RemainingTime {
 public:
  RemainingTime(platform::Registry& registry, const DialogModel& dialog, MainView& main,
                RestTimeView& view, Melody& melody);

  // The menu item "Оставащо време" and a left click on the notification
  // icon: flips the check mark; when it is now set, shows the window (created
  // on first use) and empties its label. Removing the mark leaves an open
  // window open and ticking.
  void Toggle();

  // The window's close button: the tick stops and the mark goes. A melody
  // that is playing plays on to its end.
  void Closed();

  // One tick, every second while the window is shown. Any failure ends the
  // tick silently and the label keeps its text.
  void Tick();

  bool checked() const { return checked_; }
  bool ticking() const { return ticking_; }

 private:
  void Shown();

  platform::Registry& registry_;
  const DialogModel& dialog_;
  MainView& main_;
  RestTimeView& view_;
  Melody& melody_;
  bool checked_ = false;
  bool ticking_ = false;
};

}  // namespace zalvo::lockscreen
