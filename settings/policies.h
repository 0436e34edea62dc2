// The writer of the Windows restriction and browser policies, in two steps:
// a plan (which keys, opened how, which values with which data, in which
// order) built from the settings without touching Windows, and the applying
// of that plan through the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/registry.h"
#include "settings/station_settings.h"

namespace zalvo::settings {

// The two programs write the same policies with small differences: the lock
// screen reads the desktop wallpaper, writes the browser's search page, and
// opens the proxy gate when NoAutomatProxy is off; the agent opens it when
// NoAutomatProxy is on.
enum class PolicyVariant : uint8_t { kLockScreen, kAgent };

// The browser search page the lock screen writes.
inline constexpr std::string_view kSearchPageValue = "Search Page";

struct PolicyValue {
  enum class Type : uint8_t { kString, kDword };
  std::string name;
  Type type = Type::kDword;
  std::string text;    // REG_SZ data
  uint32_t dword = 0;  // REG_DWORD data

  static PolicyValue String(std::string name, std::string text);
  static PolicyValue Dword(std::string name, uint32_t value);
  bool operator==(const PolicyValue&) const = default;
};

struct PolicyGroup {
  platform::Hive hive = platform::Hive::kCurrentUser;
  std::string path;
  // Created when missing; otherwise the group is skipped when the key is
  // missing.
  bool create = false;
  // A string value to read (the lock screen's desktop wallpaper); empty when
  // none.
  std::string read_value;
  std::vector<PolicyValue> writes;
};

// The ordered groups for the settings. The server address is passed apart:
// the lock screen writes the address in effect before the save, not the one
// being edited.
std::vector<PolicyGroup> BuildPolicyPlan(const StationSettings& settings,
                                         std::string_view server_ip, PolicyVariant variant);

// Carries the plan out, each key opened for no more than its group does
// (writing, and reading when it reads a value): a missing key skips its
// group; a key that exists but may not be opened for writing, a key to be
// created that can be neither opened nor created, and a value that can't be
// written or read end the pass, keeping what was written. The value read by a
// group goes to on_read (a missing value reads as empty text). Returns the
// failure that ended the pass, if one did; a refusal is of the kind
// platform::ErrorKind::kAccessDenied.
[[nodiscard]] std::optional<platform::PlatformError> ApplyPolicyPlan(
    platform::Registry& registry, const std::vector<PolicyGroup>& plan,
    const std::function<void(const std::string&)>& on_read = {});

}  // namespace zalvo::settings
