#include "platform/win32/mixer.h"

#include <windows.h>
// mmsystem.h needs windows.h first.
#include <mmsystem.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {
namespace {

[[noreturn]] void ThrowMixerError(const char* call, MMRESULT result) {
  throw platform::PlatformError(
      std::string(call) + " failed (mixer error " + std::to_string(result) + ")",
      static_cast<int64_t>(result));
}

// The record that carries one control's values: items of the given size, one
// per channel.
MIXERCONTROLDETAILS Details(DWORD control, DWORD channels, DWORD item_size, void* items) {
  MIXERCONTROLDETAILS details{};
  details.cbStruct = sizeof details;
  details.dwControlID = control;
  details.cChannels = channels;
  details.cMultipleItems = 0;
  details.cbDetails = item_size;
  details.paDetails = items;
  return details;
}

void CloseMixer(HMIXER mixer) {
  ::mixerClose(mixer);
}
using ScopedMixer = Scoped<HMIXER, CloseMixer>;

class Win32Mixer final : public platform::Mixer {
 public:
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

}  // namespace

std::unique_ptr<platform::Mixer> MakeWin32Mixer() {
  return std::make_unique<Win32Mixer>();
}

platform::SpeakerControls Win32Mixer::OpenSpeakerControls() {
  controls_ = {};
  if (mixerGetNumDevs() == 0) {
    return controls_;
  }
  HMIXER raw = nullptr;
  if (mixerOpen(&raw, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR || raw == nullptr) {
    return controls_;
  }
  mixer_.reset(raw);

  MIXERLINEW line{};
  line.cbStruct = sizeof line;
  line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  if (mixerGetLineInfoW(Object(), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
          MMSYSERR_NOERROR ||
      line.cControls == 0) {
    return controls_;
  }

  // Room for every control the line has, however many: the scan below never
  // looks beyond what was fetched.
  std::vector<MIXERCONTROLW> descriptions(line.cControls);
  MIXERLINECONTROLSW request{};
  request.cbStruct = sizeof request;
  request.dwLineID = line.dwLineID;
  request.cControls = line.cControls;
  request.cbmxctrl = sizeof(MIXERCONTROLW);
  request.pamxctrl = descriptions.data();
  if (mixerGetLineControlsW(Object(), &request,
                            MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL) !=
      MMSYSERR_NOERROR) {
    return controls_;
  }
  for (const MIXERCONTROLW& control : descriptions) {
    if (!controls_.volume && control.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME) {
      controls_.volume = true;
      volume_control_ = control.dwControlID;
      bool uniform = (control.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) != 0;
      volume_channels_ = uniform || line.cChannels < 2 ? 1 : 2;
    } else if (!controls_.mute && control.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE) {
      controls_.mute = true;
      mute_control_ = control.dwControlID;
    }
  }
  return controls_;
}

void Win32Mixer::SetVolumeLevels(platform::StereoLevels levels) {
  if (!controls_.volume) {
    throw platform::PlatformError("the speakers have no volume control");
  }
  MIXERCONTROLDETAILS_UNSIGNED values[2] = {{levels.left}, {levels.right}};
  if (volume_channels_ == 1) {
    values[0].dwValue = std::max(levels.left, levels.right);
  }
  MIXERCONTROLDETAILS details =
      Details(volume_control_, volume_channels_, sizeof(MIXERCONTROLDETAILS_UNSIGNED), values);
  MMRESULT result = mixerSetControlDetails(Object(), &details,
                                           MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
  if (result != MMSYSERR_NOERROR) {
    ThrowMixerError("mixerSetControlDetails", result);
  }
}

platform::StereoLevels Win32Mixer::VolumeLevels() {
  if (!controls_.volume) {
    throw platform::PlatformError("the speakers have no volume control");
  }
  MIXERCONTROLDETAILS_UNSIGNED values[2] = {};
  MIXERCONTROLDETAILS details =
      Details(volume_control_, volume_channels_, sizeof(MIXERCONTROLDETAILS_UNSIGNED), values);
  MMRESULT result = mixerGetControlDetailsW(Object(), &details,
                                            MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
  if (result != MMSYSERR_NOERROR) {
    ThrowMixerError("mixerGetControlDetails", result);
  }
  if (volume_channels_ == 1) {
    return {values[0].dwValue, values[0].dwValue};
  }
  return {values[0].dwValue, values[1].dwValue};
}

void Win32Mixer::SetMute(bool on) {
  if (!controls_.mute) {
    throw platform::PlatformError("the speakers have no mute control");
  }
  MIXERCONTROLDETAILS_BOOLEAN value{on ? 1L : 0L};
  MIXERCONTROLDETAILS details =
      Details(mute_control_, 1, sizeof(MIXERCONTROLDETAILS_BOOLEAN), &value);
  MMRESULT result = mixerSetControlDetails(Object(), &details,
                                           MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
  if (result != MMSYSERR_NOERROR) {
    ThrowMixerError("mixerSetControlDetails", result);
  }
}

}  // namespace zalvo::win32
