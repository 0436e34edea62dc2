#include "agent/command_key_store.h"

#include <string>

namespace zalvo::agent {

std::optional<protocol::KeyText> ReadStoredCommandKey(platform::Registry& registry) {
  auto key = registry.Open(platform::Hive::kLocalMachine, kCommandKeyPath);
  std::optional<std::string> hex = key ? key->ReadString(kCommandKeyValue) : std::nullopt;
  if (!hex) {
    return std::nullopt;
  }
  std::optional<std::string> address = key->ReadString(kStationAddressValue);
  try {
    protocol::KeyText stored = protocol::ParseKeyText(*hex);
    if (!stored.station_address.empty()) {
      throw protocol::KeyFileError("CommandKey holds more than the key");
    }
    if (!address || address->empty()) {
      throw protocol::KeyFileError("StationAddress is missing (the address the server sends to)");
    }
    stored.station_address = protocol::ParseKeyText(*hex + "\n" + *address).station_address;
    return stored;
  } catch (const protocol::KeyFileError& e) {
    throw protocol::KeyFileError("the command key in HKEY_LOCAL_MACHINE\\" +
                                 std::string(kCommandKeyPath) + " can't be used: " + e.what());
  }
}

}  // namespace zalvo::agent
