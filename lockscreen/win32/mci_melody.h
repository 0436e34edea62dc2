// The melody of the remaining-time window, played through the Media Control
// Interface of winmm (MIDI and wave files alike).
#pragma once

#include "lockscreen/views.h"

namespace zalvo::lockscreen::win32 {

class MciMelody final : public Melody {
 public:
  MciMelody() = default;
  MciMelody(const MciMelody&) = delete;
  MciMelody& operator=(const MciMelody&) = delete;
  ~MciMelody() override;

  bool Playing() override;
  void Play(const std::string& path) override;
  void Stop() override;

 private:
  bool open_ = false;
};

}  // namespace zalvo::lockscreen::win32
