// The two sets of values zalvo_save_loop alternates between; the second
// makes a longer file, so a cut one can't pass for the first.
#pragma once

#include <string>

#include "settings/station_settings.h"

namespace zalvo::testing {

inline settings::StationSettings SaveLoopValues(bool first) {
  using settings::Key;
  settings::StationSettings values;
  values.SetText(Key::ServerIP, first ? "10.0.0.1" : "192.168.100.200");
  values.SetText(Key::StartPage,
                 first ? "http://a" : "http://example.org/" + std::string(600, 'x'));
  values.SetText(Key::ClosePasswordForm, first ? "10" : "125");
  values.SetFlag(Key::Hide, first);
  values.SetFlag(Key::Beep, !first);
  return values;
}

}  // namespace zalvo::testing
