// Where a station keeps its command key and what goes with it: the
// local-machine key SOFTWARE\Zalvo, readable by SYSTEM and the
// administrators only (not krvini.ini, which every account may read):
//
//   CommandKey         the station's key as 64 hex digits
//   StationAddress     the station's own address, as the server sends to it
//   RequireKey         1: the station does not start without its key
//   NewestCommandTime  the time of the newest command taken, in seconds
//                      since 1970 (the replay mark)
//
// The simulated station keeps its key in the file zalvo.key of its folder
// and the other values in its machine hive, under the same names.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/registry.h"
#include "protocol/key_file.h"

namespace zalvo::agent {

inline constexpr std::string_view kCommandKeyPath = "SOFTWARE\\Zalvo";
inline constexpr std::string_view kCommandKeyValue = "CommandKey";
inline constexpr std::string_view kStationAddressValue = "StationAddress";
inline constexpr std::string_view kRequireKeyValue = "RequireKey";
inline constexpr std::string_view kReplayMarkValue = "NewestCommandTime";

// The stored key; nullopt when the station has none (no CommandKey value)
// and does not require one. Throws protocol::KeyFileError for a key or
// address that can't be used, and for a missing key that RequireKey asks
// for, so that the agent does not run without the authentication the club
// asked for.
[[nodiscard]] std::optional<protocol::KeyText> ReadStoredCommandKey(platform::Registry& registry);

// Whether RequireKey is set (a DWORD other than 0).
[[nodiscard]] bool KeyRequired(platform::Registry& registry);

// The stored replay mark; nullopt when there is none. Throws
// protocol::KeyFileError for a value that is not a time.
[[nodiscard]] std::optional<int64_t> ReadReplayMark(platform::Registry& registry);
// Stores the mark. Throws PlatformError when it can't be written.
void StoreReplayMark(platform::Registry& registry, int64_t mark);

}  // namespace zalvo::agent
