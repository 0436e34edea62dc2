#include "platform/win32/core_audio_mixer.h"

#include <windows.h>
// After windows.h.
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {
namespace {

void ReleaseCom(IUnknown* object) {
  object->Release();
}
template <typename T>
using ScopedCom = Scoped<T*, ReleaseCom>;

void Check(HRESULT result, const char* call) {
  if (FAILED(result)) {
    throw platform::SystemError(std::string(call) + ": " + ErrorText(static_cast<uint32_t>(result)),
                                static_cast<int64_t>(static_cast<uint32_t>(result)));
  }
}

// COM on the calling thread for the length of one call, whatever the thread
// (a thread that has it already keeps its own kind).
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) {
      CoUninitialize();
    }
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

float Scalar(uint32_t level) {
  return static_cast<float>(std::min(level, platform::kMaxMixerLevel)) /
         static_cast<float>(platform::kMaxMixerLevel);
}

uint32_t Level(float scalar) {
  float clamped = std::clamp(scalar, 0.0F, 1.0F);
  return static_cast<uint32_t>(std::lround(clamped * static_cast<float>(platform::kMaxMixerLevel)));
}

class CoreAudioMixer final : public platform::Mixer {
 public:
  platform::SpeakerControls OpenSpeakerControls() override {
    ComScope com;
    try {
      Endpoint();
      return {true, true};
    } catch (const platform::PlatformError&) {
      return {};
    }
  }

  void SetVolumeLevels(platform::StereoLevels levels) override {
    ComScope com;
    ScopedCom<IAudioEndpointVolume> volume = Endpoint();
    UINT channels = Channels(volume.get());
    uint32_t louder = std::max(levels.left, levels.right);
    for (UINT channel = 0; channel < channels; ++channel) {
      uint32_t level = channels == 1  ? louder
                       : channel == 0 ? levels.left
                       : channel == 1 ? levels.right
                                      : louder;
      Check(volume.get()->SetChannelVolumeLevelScalar(channel, Scalar(level), nullptr),
            "SetChannelVolumeLevelScalar");
    }
  }

  platform::StereoLevels VolumeLevels() override {
    ComScope com;
    ScopedCom<IAudioEndpointVolume> volume = Endpoint();
    UINT channels = Channels(volume.get());
    float left = 0;
    Check(volume.get()->GetChannelVolumeLevelScalar(0, &left), "GetChannelVolumeLevelScalar");
    float right = left;
    if (channels >= 2) {
      Check(volume.get()->GetChannelVolumeLevelScalar(1, &right), "GetChannelVolumeLevelScalar");
    }
    return {Level(left), Level(right)};
  }

  void SetMute(bool on) override {
    ComScope com;
    ScopedCom<IAudioEndpointVolume> volume = Endpoint();
    Check(volume.get()->SetMute(on ? TRUE : FALSE, nullptr), "SetMute");
  }

 private:
  // The default playback endpoint's volume; PlatformError when there is
  // none (no audio device, the audio service not running).
  static ScopedCom<IAudioEndpointVolume> Endpoint() {
    ScopedCom<IMMDeviceEnumerator> enumerator;
    Check(
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(enumerator.put())),
        "no audio endpoints: CoCreateInstance(MMDeviceEnumerator)");
    ScopedCom<IMMDevice> device;
    Check(enumerator.get()->GetDefaultAudioEndpoint(eRender, eConsole, device.put()),
          "no speakers: GetDefaultAudioEndpoint");
    ScopedCom<IAudioEndpointVolume> volume;
    Check(device.get()->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                 reinterpret_cast<void**>(volume.put())),
          "no speaker volume: Activate(IAudioEndpointVolume)");
    return volume;
  }

  static UINT Channels(IAudioEndpointVolume* volume) {
    UINT channels = 0;
    Check(volume->GetChannelCount(&channels), "GetChannelCount");
    if (channels == 0) {
      throw platform::PlatformError("the speakers have no channels");
    }
    return channels;
  }
};

}  // namespace

std::unique_ptr<platform::Mixer> MakeCoreAudioMixer() {
  return std::make_unique<CoreAudioMixer>();
}

}  // namespace zalvo::win32
