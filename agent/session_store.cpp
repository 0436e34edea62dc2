#include "agent/session_store.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "platform/error.h"
#include "protocol/envelope.h"

namespace zalvo::agent {
namespace {

std::string Where() {
  return "HKEY_LOCAL_MACHINE\\" + std::string(kSessionStateKey) + " " +
         std::string(kSessionStateValue);
}

// Times far past any clock's are no times: with them the arithmetic below
// can't overflow.
constexpr int64_t kLatestTime = int64_t{1} << 40;

// A decimal number with an optional "-", the whole of the text.
std::optional<int64_t> ParseTime(std::string_view text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value > kLatestTime ||
      value < -kLatestTime) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

int32_t SecondsLeftAt(const StoredSession& stored, int64_t now) {
  now = std::clamp(now, -kLatestTime, kLatestTime);
  const int64_t passed = std::max<int64_t>(0, now - stored.saved);
  const int64_t left = stored.end - stored.saved - passed;
  return static_cast<int32_t>(std::clamp<int64_t>(left, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

std::string StoredSessionText(const StoredSession& stored) {
  return std::string(stored.running ? "1" : "0") + " " + std::to_string(stored.end) + " " +
         std::to_string(stored.saved);
}

std::optional<StoredSession> ParseStoredSession(std::string_view text) {
  if (text.size() < 2 || (text[0] != '0' && text[0] != '1') || text[1] != ' ') {
    return std::nullopt;
  }
  std::string_view times = text.substr(2);
  const size_t blank = times.find(' ');
  if (blank == std::string_view::npos) {
    return std::nullopt;
  }
  std::optional<int64_t> end = ParseTime(times.substr(0, blank));
  std::optional<int64_t> saved = ParseTime(times.substr(blank + 1));
  if (!end || !saved) {
    return std::nullopt;
  }
  return StoredSession{text[0] == '1', *end, *saved};
}

SessionStore::SessionStore(platform::Registry& machine, WallClock clock)
    : machine_(machine), clock_(clock ? std::move(clock) : WallClock(protocol::UnixNow)) {}

void SessionStore::Save(bool running, int32_t seconds_left) {
  const int64_t now = Now();
  auto key =
      machine_.Create(platform::Hive::kLocalMachine, kSessionStateKey, platform::Access::kWrite);
  if (!key) {
    throw platform::PlatformError(Where() + " can't be opened to keep the session",
                                  platform::ErrorKind::kAccessDenied);
  }
  key->WriteString(kSessionStateValue, StoredSessionText({running, now + seconds_left, now}));
}

std::optional<StoredSession> SessionStore::Load() {
  auto key =
      machine_.Open(platform::Hive::kLocalMachine, kSessionStateKey, platform::Access::kRead);
  std::optional<std::string> text = key ? key->ReadString(kSessionStateValue) : std::nullopt;
  if (!text) {
    return std::nullopt;
  }
  std::optional<StoredSession> stored = ParseStoredSession(*text);
  if (!stored) {
    throw platform::PlatformError(Where() + " is not a session state: \"" + *text + "\"");
  }
  return stored;
}

}  // namespace zalvo::agent
