// Whether the lock screen's cover is what the customer at the console sees,
// as a process the customer can't open or steer sees it, and what the
// service does when it is not: end the lock screen, log the customer off.
//
// The lock screen and everything else the customer's token starts may be
// hidden, frozen or made to say anything by the customer; a look from the
// customer's side proves nothing. A look is made on the customer's desktop
// by the service's own process (on Windows a windowless process with the
// service's token moved into the customer's session; on the simulated
// station console.txt, which a test or a person edits as the customer).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::platform {

struct CoverLook {
  // A window of the installed lock screen is at the centre and the corners
  // of every monitor, on the desktop that has the input, and the lock screen
  // answered within about a second.
  bool covered = false;
  // The installed lock screen has a window (it came up).
  bool lock_screen_window = false;
  // The installed lock screen's settings dialog is shown.
  bool settings_dialog = false;
  // What was seen where the cover should be, when not covered
  // (Windows-1251, one line).
  std::string seen;
  // When the look was asked for, in milliseconds of the steady clock the
  // service's tick reads; none when it was made just now. A look asked for
  // before a lock screen was started says nothing of that one.
  std::optional<uint64_t> asked_at_ms;
};

class LockCover {
 public:
  virtual ~LockCover() = default;
  // The newest look at the console session (on Windows the answer to the
  // request of the tick before: a look never holds the tick up). Throws
  // PlatformError when there is none to be had.
  [[nodiscard]] virtual CoverLook LookAtCover() = 0;
  // Ends every process of the installed lock screen in the console session,
  // while the customer is the one logged on there; how many were ended.
  // Throws PlatformError with the system's words.
  virtual uint32_t EndLockScreens() = 0;
  // Logs the customer, the user logged on at the console, off. Throws
  // PlatformError with the system's words (of the kind kNotFound when the
  // customer is no longer the one logged on there).
  virtual void LogOffCustomer() = 0;
};

// A look as one line of text, as the checker process hands it to the
// service (without asked_at_ms, which is the service's); Decode takes only
// a line Encode could have made (nullopt otherwise). What was seen is cut
// to kMostSeen bytes, control characters replaced.
inline constexpr size_t kMostSeen = 300;
std::string EncodeCoverLook(const CoverLook& look);
std::optional<CoverLook> DecodeCoverLook(std::string_view line);

}  // namespace zalvo::platform
