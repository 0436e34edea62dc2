// The simulated station's registry: one REGEDIT4 file per hive in the
// station's registry folder, read before and written after every operation,
// so that a person or a test may read and change it while the agent runs.
//
// registry/HKEY_LOCAL_MACHINE.reg, registry/HKEY_CURRENT_USER.reg
// registry/deny.txt (optional) refuses access, one rule per line:
//   open [HKEY_CURRENT_USER\Software\...]            the key can't be opened
//   write [HKEY_LOCAL_MACHINE\SOFTWARE\...]          no value of it can be written
//   write [HKEY_LOCAL_MACHINE\SOFTWARE\...] "Name"   that value can't be written
// A key opened for reading only refuses writes, and one opened for writing
// only refuses reads, as Windows does.
#pragma once

#include <filesystem>
#include <mutex>

#include "platform/registry.h"
#include "platform/sim/regedit4.h"

namespace zalvo::sim {

class SimRegistry final : public platform::Registry {
 public:
  explicit SimRegistry(std::filesystem::path folder);

  std::unique_ptr<platform::RegistryKey> Open(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;
  std::unique_ptr<platform::RegistryKey> Create(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;

  // Used by the open keys: reads the hive, runs the change, writes the hive
  // back when the change reports that it changed something.
  template <typename F>
  auto WithHive(platform::Hive hive, F&& change);
  bool WriteDenied(platform::Hive hive, std::string_view path, std::string_view name);

  static std::string_view RootName(platform::Hive hive);
  std::filesystem::path HiveFile(platform::Hive hive) const;

 private:
  bool OpenDenied(platform::Hive hive, std::string_view path);
  RegHive Load(platform::Hive hive) const;
  void Save(platform::Hive hive, const RegHive& content) const;

  std::filesystem::path folder_;
  std::recursive_mutex mutex_;
};

template <typename F>
auto SimRegistry::WithHive(platform::Hive hive, F&& change) {
  std::lock_guard lock(mutex_);
  RegHive content = Load(hive);
  bool changed = false;
  auto result = change(content, changed);
  if (changed) {
    Save(hive, content);
  }
  return result;
}

}  // namespace zalvo::sim
