#include "agent/command_key_store.h"

#include <limits>
#include <string>

#include "platform/error.h"

namespace zalvo::agent {
namespace {

std::string Where() {
  return "HKEY_LOCAL_MACHINE\\" + std::string(kCommandKeyPath);
}

}  // namespace

bool KeyRequired(platform::Registry& registry) {
  auto key = registry.Open(platform::Hive::kLocalMachine, kCommandKeyPath, platform::Access::kRead);
  std::optional<uint32_t> required = key ? key->ReadDword(kRequireKeyValue) : std::nullopt;
  return required.value_or(0) != 0;
}

std::optional<protocol::KeyText> ReadStoredCommandKey(platform::Registry& registry) {
  auto key = registry.Open(platform::Hive::kLocalMachine, kCommandKeyPath, platform::Access::kRead);
  std::optional<std::string> hex = key ? key->ReadString(kCommandKeyValue) : std::nullopt;
  if (!hex) {
    if (KeyRequired(registry)) {
      throw protocol::KeyFileError(
          "RequireKey is set in " + Where() +
          " but the command key (CommandKey) is missing: the station does not take unsigned "
          "commands. Store the key again (zalvos.exe /CLUBKEY=... /STATIONIP=...), or remove "
          "RequireKey with the key on purpose (zalvos.exe /REMOVEKEY)");
    }
    return std::nullopt;
  }
  std::optional<std::string> address = key->ReadString(kStationAddressValue);
  try {
    protocol::KeyText stored = protocol::ParseKeyText(*hex);
    if (!stored.earlier_form || !stored.station_address.empty()) {
      throw protocol::KeyFileError("CommandKey holds more than the key");
    }
    if (!address || address->empty()) {
      throw protocol::KeyFileError("StationAddress is missing (the address the server sends to)");
    }
    stored.station_address = protocol::ParseKeyText(*hex + "\n" + *address).station_address;
    // The registry holds the station's key as it was stored; whether it is
    // the club's (a station installed before stations had keys of their
    // own) the console knows, not the station.
    stored.kind = protocol::KeyKind::kStation;
    return stored;
  } catch (const protocol::KeyFileError& e) {
    throw protocol::KeyFileError("the command key in " + Where() + " can't be used: " + e.what());
  }
}

std::optional<int64_t> ReadReplayMark(platform::Registry& registry) {
  auto key = registry.Open(platform::Hive::kLocalMachine, kCommandKeyPath, platform::Access::kRead);
  std::optional<std::string> text = key ? key->ReadString(kReplayMarkValue) : std::nullopt;
  if (!text) {
    return std::nullopt;
  }
  uint64_t mark = 0;  // 19 digits fit 64 bits
  bool digits = !text->empty() && text->size() <= protocol::kTimeDigits;
  for (char c : *text) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) {
      mark = mark * 10 + static_cast<uint64_t>(c - '0');
    }
  }
  if (!digits || mark > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    throw protocol::KeyFileError("the replay mark " + std::string(kReplayMarkValue) + " in " +
                                 Where() + " is not a time in seconds: '" + *text + "'");
  }
  return static_cast<int64_t>(mark);
}

void StoreReplayMark(platform::Registry& registry, int64_t mark) {
  auto key =
      registry.Create(platform::Hive::kLocalMachine, kCommandKeyPath, platform::Access::kWrite);
  if (!key) {
    throw platform::PlatformError(Where() + " can't be opened to store the replay mark",
                                  platform::ErrorKind::kAccessDenied);
  }
  key->WriteString(kReplayMarkValue, std::to_string(mark));
}

}  // namespace zalvo::agent
