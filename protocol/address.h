// Station and server addresses as the agent compares them: four decimal
// numbers of 0 to 255 joined by dots, without leading zeros (the form a
// received datagram's sender has).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zalvo::protocol {

// The four bytes of an address in that form; nullopt for any other text
// ("192.168.001.010", "10.1", " 1.2.3.4", "1.2.3.256").
[[nodiscard]] std::optional<std::array<uint8_t, 4>> ParseDottedAddress(std::string_view text);

}  // namespace zalvo::protocol
