// The commands the console builds with fields, and the arithmetic of
// "ACTION STAND" as the server sees it. The keywords, ports and reply texts
// are protocol/'s; every text is Windows-1251 bytes, as on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::console::wire {

// "ACTION SIT n": the station's time becomes n minutes from now.
std::string Sit(int32_t minutes);
// "ACTION KILL caption": ends the process of the window with that caption.
std::string Kill(std::string_view caption);
// "ACTION VOLUME n", n in percent.
std::string Volume(int32_t percent);
// "ACTION MESSAGE text": the text shown to the user at the station.
std::string Message(std::string_view cp1251);
// Why a message (UTF-8, as operators type it) can't be sent: the station's
// rule (protocol::MessageFaultOf), or a character Windows-1251 does not
// have; nullopt when it can.
std::optional<std::string> MessageProblem(std::string_view utf8);

// How many "ACTION STAND" in a row end a session with at most this many
// seconds left on the station (protocol::StandSeconds each): from 1 (20
// seconds or less) to 6 (more than 100). One more after the end only locks
// the station again.
int32_t StandsToEnd(int64_t remaining_seconds);

}  // namespace zalvo::console::wire
