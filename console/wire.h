// What the console knows of the station protocol: the commands it sends, the
// replies and reports it reads, and the arithmetic of "ACTION STAND". Every
// text here is Windows-1251 bytes, as on the wire. This is the one file of
// the console that knows the wire's texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::console::wire {

inline constexpr uint16_t kStationPort = 6767;  // a station's command port
inline constexpr uint16_t kConsolePort = 6868;  // where stations send replies and reports
inline constexpr size_t kMaxDatagram = 2048;

// The commands without fields.
inline constexpr std::string_view kStand = "ACTION STAND";
inline constexpr std::string_view kInfo = "ACTION INFO";
inline constexpr std::string_view kProcess = "ACTION PROCESS";
inline constexpr std::string_view kMonitorOff = "ACTION MONITOR OFF";
inline constexpr std::string_view kMonitorOn = "ACTION MONITOR ON";
inline constexpr std::string_view kReboot = "ACTION REBOOT";
inline constexpr std::string_view kShutdown = "ACTION SHUTDOWN";

// "ACTION SIT n": the station's time becomes n minutes from now.
std::string Sit(int32_t minutes);
// "ACTION KILL caption": ends the process of the window with that caption.
std::string Kill(std::string_view caption);
// "ACTION VOLUME n", n in percent.
std::string Volume(int32_t percent);

// One datagram a station sends to the console.
struct Report {
  enum class Kind {
    kPing,          // "PING": after each command, and the keep-alive
    kForeground,    // "PLAYGAME=caption" (caption upper-cased; empty when it became empty)
    kNoForeground,  // "PLAYGAME=0:handle": the foreground window has no caption
    kFreeDisk,      // "INFO  c:nMB"
    kWindowList,    // "PROCESS LIST:a,b,..."
  };
  Kind kind = Kind::kPing;
  std::string caption;               // kForeground
  int64_t free_mb = 0;               // kFreeDisk
  std::vector<std::string> windows;  // kWindowList
};

// Reads one datagram; nullopt when it is none of the texts a station sends.
std::optional<Report> ParseReport(std::string_view datagram);

// The entries of a comma text ("A,\"B C\",\"SAY \"\"HI\"\"\""); nullopt when
// a quoted entry is not closed.
std::optional<std::vector<std::string>> ParseCommaText(std::string_view text);

// A station's remaining seconds after one "ACTION STAND": cut to 120, then
// lowered by 20. The session ends on the station only when the result is 0
// or less.
int64_t RemainingAfterStand(int64_t remaining_seconds);

// How many "ACTION STAND" in a row end a session with at most this many
// seconds left on the station: from 1 (20 seconds or less) to 6 (more than
// 100). One more after the end only locks the station again.
int32_t StandsToEnd(int64_t remaining_seconds);

}  // namespace zalvo::console::wire
