// The speakers through Core Audio: the volume and mute of the default audio
// endpoint for playback, which is what a person hears (the winmm mixer
// functions reach only the calling program's own stream). Any thread may
// call it.
#pragma once

#include <memory>

#include "platform/mixer.h"

namespace zalvo::win32 {

// The endpoint is looked up at every call, so that one that appears or
// changes later is the one set. Channel 0 takes the left level, channel 1
// the right, every further channel (centre, rear, bass) the louder of the
// two; a mono endpoint the louder. Levels map to the endpoint's channel
// scalars as level / 65535.
std::unique_ptr<platform::Mixer> MakeCoreAudioMixer();

}  // namespace zalvo::win32
