// Powering stations on over the network (Wake-on-LAN): a station's MAC
// address as operators write it, and the "magic packet" its network card
// waits for while the PC is off: six 0xFF bytes, then the MAC sixteen times,
// sent as one UDP datagram to the network's broadcast address, port 9.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::console {

using Mac = std::array<uint8_t, 6>;

inline constexpr uint16_t kWakePort = 9;

// Six pairs of hex digits separated by ':' or '-' (either case), or twelve
// hex digits; nullopt for anything else, and for the broadcast and zero
// addresses and group addresses (the low bit of the first byte set), which
// no single card has.
std::optional<Mac> ParseMac(std::string_view text);
// "00:1a:2b:3c:4d:5e".
std::string MacText(const Mac& mac);
// The 102 bytes of the magic packet.
std::string MagicPacket(const Mac& mac);

// The MAC addresses of a neighbour table as Linux shows it in /proc/net/arp
// (a header line, then "IP HW-type flags MAC mask device"), by IPv4
// address: only complete entries with a MAC a card can have.
std::map<std::string, Mac> ParseNeighbourTable(std::string_view text);

}  // namespace zalvo::console
