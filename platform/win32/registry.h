// The registry through advapi32's wide functions.
#pragma once

#include "platform/registry.h"

namespace zalvo::win32 {

class Win32Registry final : public platform::Registry {
 public:
  std::unique_ptr<platform::RegistryKey> Open(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;
  std::unique_ptr<platform::RegistryKey> Create(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;
};

}  // namespace zalvo::win32
