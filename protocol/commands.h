// What the agent, zalvoctl and the console all know of the wire: the ports,
// the command keywords with how each is matched and where its field starts,
// and the texts of the replies and reports. Every text is Windows-1251;
// datagrams carry no terminator and no line end, and letter case matters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::protocol {

// The station listens on the command port; every reply and report goes to
// the server's reply port.
inline constexpr uint16_t kCommandPort = 6767;
inline constexpr uint16_t kReplyPort = 6868;

// A command matches when the datagram starts with its keyword (prefix) or
// is exactly its keyword (exact).
enum class Match : uint8_t { kPrefix, kExact };

// Where a prefix command's field starts: right after the keyword, or after
// the one separator that follows it (which is skipped whatever it is).
enum class FieldStart : uint8_t { kNone, kAfterKeyword, kAfterSeparator };

struct Command {
  std::string_view keyword;
  Match match;
  FieldStart field = FieldStart::kNone;
};

inline constexpr Command kRun{"ACTION RUN", Match::kPrefix, FieldStart::kAfterSeparator};
inline constexpr Command kProxy{"ACTION PROXY", Match::kPrefix, FieldStart::kAfterSeparator};
inline constexpr Command kKill{"ACTION KILL", Match::kPrefix, FieldStart::kAfterKeyword};
inline constexpr Command kProcess{"ACTION PROCESS", Match::kPrefix};
inline constexpr Command kSit{"ACTION SIT", Match::kPrefix, FieldStart::kAfterSeparator};
inline constexpr Command kStand{"ACTION STAND", Match::kExact};
inline constexpr Command kShutdown{"ACTION SHUTDOWN", Match::kExact};
inline constexpr Command kMonitorOff{"ACTION MONITOR OFF", Match::kExact};
inline constexpr Command kMonitorOn{"ACTION MONITOR ON", Match::kExact};
inline constexpr Command kReboot{"ACTION REBOOT", Match::kExact};
inline constexpr Command kInstall{"ACTION INSTALL", Match::kExact};
inline constexpr Command kInfo{"ACTION INFO", Match::kExact};
inline constexpr Command kIni{"ACTION INI", Match::kExact};
inline constexpr Command kVolume{"ACTION VOLUME", Match::kPrefix, FieldStart::kAfterKeyword};
// "ACTION MESSAGE text": the text after one blank is shown to the user at the
// console.
inline constexpr Command kMessage{"ACTION MESSAGE", Match::kPrefix, FieldStart::kAfterSeparator};

// "ACTION STATE": the station answers with its session state
// (StateReply) before "PING".
inline constexpr Command kState{"ACTION STATE", Match::kExact};

// The longest text of "ACTION MESSAGE" that the station shows, in bytes: a
// few lines of a small window, and with the keyword and a signed envelope's
// 120 bytes far within one datagram.
inline constexpr size_t kMaxMessageBytes = 200;

// What a station will not show of an "ACTION MESSAGE" text (its
// Windows-1251 bytes): an empty text, one longer than kMaxMessageBytes, or
// one with a control character (a byte below 0x20, or 0x7F), since a window
// of one message has no line structure for the server to steer. The bytes
// 0x80-0xFF are Windows-1251 letters. The station refuses such a text and
// the console does not send one; each says why in its own words.
struct MessageFault {
  enum class Kind { kEmpty, kTooLong, kControl };
  Kind kind = Kind::kEmpty;
  size_t at = 0;           // kControl: the byte's offset
  unsigned char byte = 0;  // kControl: the byte
};
std::optional<MessageFault> MessageFaultOf(std::string_view text);

// Whether the datagram is this command.
bool Matches(const Command& command, std::string_view datagram);

// The command's field in a datagram that matches it: the text from the
// field's start to the end, empty when the datagram is shorter or the
// command has no field.
std::string_view FieldOf(const Command& command, std::string_view datagram);

// Whether the datagram is a command that may restart or shut Windows down
// (a session start or end, INSTALL, REBOOT, SHUTDOWN).
bool MayEndWindows(std::string_view datagram);

// "ACTION STAND" on the station: the remaining seconds cut to at most 120,
// then lowered by 20, in wrapping 32-bit arithmetic. The session ends when
// the result is 0 or less.
int32_t StandSeconds(int32_t remaining);

// The datagram that gives the command with the field: the keyword, then a
// blank and the field when there is one.
std::string CommandText(const Command& command, std::string_view field = {});

// "ACTION PROXY e server PORT port": the word that introduces the port.
inline constexpr std::string_view kProxyPortWord = "PORT";

// Replies and reports.
inline constexpr std::string_view kPing = "PING";
inline constexpr std::string_view kProcessListPrefix = "PROCESS LIST:";
inline constexpr std::string_view kPlayGamePrefix = "PLAYGAME=";
// "PLAYGAME=0:" and the foreground window's handle: no caption to report.
inline constexpr std::string_view kPlayGameNoCaptionPrefix = "PLAYGAME=0:";
// "INFO  c:" and the free MiB of drive C, then "MB".
inline constexpr std::string_view kInfoPrefix = "INFO ";
inline constexpr std::string_view kFreeDiskPrefix = " c:";
inline constexpr std::string_view kFreeDiskUnit = "MB";
// "STATE r n": r "1" while a session runs, else "0"; n the session's
// seconds left (RemainingSeconds), signed decimal: below 0 once its time
// ran out.
inline constexpr std::string_view kStatePrefix = "STATE ";
std::string StateReply(bool session_running, int32_t remaining_seconds);

}  // namespace zalvo::protocol
