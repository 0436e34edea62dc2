// The session as the service keeps it across its own restarts: in its own
// key, HKLM\SOFTWARE\Zalvo, which only SYSTEM and the administrators may
// write (the simulated station: its machine hive), never in a place the
// customer can write. One text value holds it whole, so that a write is
// never half done:
//
//   SessionState   "<running> <end> <saved>"
//
// running "1" or "0"; end the session's end as an absolute time and saved
// the time of the write, both in seconds since 1970. It is written at every
// start, renewal and "ACTION STAND" cut, at the end, and with LocalTimer
// while a session runs; the service reads it once, at its start.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace zalvo::agent {

inline constexpr std::string_view kSessionStateKey = "SOFTWARE\\Zalvo";
inline constexpr std::string_view kSessionStateValue = "SessionState";

// The wall clock in seconds since 1970.
using WallClock = std::function<int64_t()>;

struct StoredSession {
  bool running = false;
  int64_t end = 0;    // seconds since 1970
  int64_t saved = 0;  // when it was written
  bool operator==(const StoredSession&) const = default;
};

// The seconds left at `now` of a session stored so: the seconds it had when
// it was written less the time passed since. A clock that is behind the
// time of the write counts no time as passed (a clock set back gives no
// time). Kept within the 32 bits of RemainingSeconds.
[[nodiscard]] int32_t SecondsLeftAt(const StoredSession& stored, int64_t now);

// The text of the value, and the value read back; nullopt for a text that
// is not one (the caller then takes no session to run).
[[nodiscard]] std::string StoredSessionText(const StoredSession& stored);
[[nodiscard]] std::optional<StoredSession> ParseStoredSession(std::string_view text);

class SessionStore {
 public:
  // Without a clock, the system's.
  explicit SessionStore(platform::Registry& machine, WallClock clock = {});

  int64_t Now() const { return clock_(); }

  // Writes the session with that many seconds left from now. Throws
  // PlatformError when the key can't be opened or created or the value
  // can't be written.
  void Save(bool running, int32_t seconds_left);

  // The stored session; nullopt when none is stored. Throws PlatformError
  // when it can't be read, or is not a session state.
  [[nodiscard]] std::optional<StoredSession> Load();

 private:
  platform::Registry& machine_;
  WallClock clock_;
};

}  // namespace zalvo::agent
