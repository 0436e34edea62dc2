// The registry through advapi32's wide functions.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/registry.h"

namespace zalvo::win32 {

class Win32Registry final : public platform::Registry {
 public:
  // The current user is the process's own (HKEY_CURRENT_USER).
  Win32Registry() = default;
  // The current user is the loaded hive HKEY_USERS\<sid>; with no SID there
  // is no current-user hive, and every key in it reads as missing.
  static Win32Registry WithUserHive(std::optional<std::string> sid);

  std::unique_ptr<platform::RegistryKey> Open(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;
  std::unique_ptr<platform::RegistryKey> Create(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;

 private:
  bool other_user_ = false;
  std::optional<std::wstring> user_sid_;
};

}  // namespace zalvo::win32
