// Where a Windows station keeps its command key: the local-machine key
// SOFTWARE\Zalvo, readable by SYSTEM and the administrators only, with the
// key as 64 hex digits in CommandKey and the station's own address (as the
// server sends to it) in StationAddress. Not in krvini.ini, which every
// account may read.
#pragma once

#include <optional>
#include <string_view>

#include "platform/registry.h"
#include "protocol/key_file.h"

namespace zalvo::agent {

inline constexpr std::string_view kCommandKeyPath = "SOFTWARE\\Zalvo";
inline constexpr std::string_view kCommandKeyValue = "CommandKey";
inline constexpr std::string_view kStationAddressValue = "StationAddress";

// The stored key; nullopt when the station has none (no CommandKey value).
// Throws protocol::KeyFileError for a key or address that can't be used, so
// that the agent does not run without the authentication the club asked for.
[[nodiscard]] std::optional<protocol::KeyText> ReadStoredCommandKey(platform::Registry& registry);

}  // namespace zalvo::agent
