// The replies and reports a station sends to the server, read back: for
// zalvoctl and the console.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::protocol {

// One datagram a station sends.
struct Report {
  enum class Kind {
    kPingReply,     // "PING": after each command, and the keep-alive
    kForeground,    // "PLAYGAME=caption" (caption upper-cased; empty when it became empty)
    kNoForeground,  // "PLAYGAME=0:handle": the foreground window has no caption
    kFreeDisk,      // "INFO  c:nMB"
    kWindowList,    // "PROCESS LIST:a,b,..."
  };
  Kind kind = Kind::kPingReply;
  std::string caption;               // kForeground
  int64_t free_mb = 0;               // kFreeDisk
  std::vector<std::string> windows;  // kWindowList
};

// Reads one datagram; nullopt when it is none of the texts a station sends.
[[nodiscard]] std::optional<Report> ParseReport(std::string_view datagram);

// The answer to "ACTION STATE": "STATE 1 1234" (protocol/commands.h).
struct SessionState {
  bool running = false;
  int32_t remaining_seconds = 0;
  bool operator==(const SessionState&) const = default;
};
// nullopt when the datagram is not such an answer (a station of a version
// without "ACTION STATE" answers it with "PING" alone).
[[nodiscard]] std::optional<SessionState> ParseSessionState(std::string_view datagram);

}  // namespace zalvo::protocol
