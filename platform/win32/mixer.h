// The speakers through the winmm mixer functions: the speaker line of mixer
// device 0, its first volume control and its first mute control.
#pragma once

#include <memory>

#include "platform/mixer.h"

namespace zalvo::win32 {

// Opens nothing yet: OpenSpeakerControls does.
std::unique_ptr<platform::Mixer> MakeWin32Mixer();

}  // namespace zalvo::win32
