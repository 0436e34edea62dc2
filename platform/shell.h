// The shell of a desktop: a file opened as the person there would open it.
// Texts are Windows-1251.
#pragma once

#include <cstdint>
#include <string>

namespace zalvo::platform {

class Shell {
 public:
  virtual ~Shell() = default;

  // Asks the shell to open a file (ShellExecuteEx with the default verb, no
  // owner window, no error boxes of its own). Throws PlatformError with the
  // system's reason when the file could not be opened. A program that needs
  // elevation, or a downloaded file, is not opened past the prompt the
  // system shows on this desktop: the call waits for the person there. A
  // shell that hands the start off to another thread returns kHandedOff at
  // once and tells the outcome later (agent/hand_off_desktop.h).
  enum class Start : uint8_t { kStarted, kHandedOff };
  virtual Start ShellOpen(const std::string& file, const std::string& parameters,
                          const std::string& directory, int show_command) = 0;
};

}  // namespace zalvo::platform
