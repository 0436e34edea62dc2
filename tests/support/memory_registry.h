// An in-memory registry for unit tests on both platforms, with refusals that
// a test can switch on: a key that can't be opened, a value that can't be
// written, keys that may only be read (as a standard account finds the
// machine's keys). Keys refuse what they were not opened for, as Windows
// does. It records every successful write in order, and the access every
// open asked for.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace zalvo::testing {

class MemoryRegistry final : public platform::Registry {
 public:
  struct Value {
    bool is_dword = false;
    std::string text;
    uint32_t dword = 0;
    bool wrong_type = false;  // a value of another type (binary)
  };

  std::unique_ptr<platform::RegistryKey> Open(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;
  std::unique_ptr<platform::RegistryKey> Create(
      platform::Hive hive, std::string_view path,
      platform::Access access = platform::Access::kFull) override;

  // Test set-up and inspection. Paths compare without case; "HKCU\..." and
  // "HKLM\..." name the hive.
  void AddKey(const std::string& full_path);
  bool HasKey(const std::string& full_path) const;
  void SetString(const std::string& full_path, const std::string& name, const std::string& text);
  void SetDword(const std::string& full_path, const std::string& name, uint32_t value);
  void SetWrongType(const std::string& full_path, const std::string& name);
  const Value* Get(const std::string& full_path, const std::string& name) const;
  std::optional<std::string> String(const std::string& full_path, const std::string& name) const;
  std::optional<uint32_t> Dword(const std::string& full_path, const std::string& name) const;
  void DenyOpen(const std::string& full_path) { denied_open_.insert(Normal(full_path)); }
  void DenyWrite(const std::string& full_path, const std::string& name) {
    denied_write_.insert(Normal(full_path) + "|" + Normal(name));
  }
  // Every key at or below the path (a hive root "HKLM" included) opens for
  // kRead only; any other open of it, and the creation of a key there, is
  // refused.
  void ReadOnly(const std::string& full_path) { read_only_.insert(Normal(full_path)); }
  // "HKCU\path\name" for every successful write, in order.
  const std::vector<std::string>& writes() const { return writes_; }
  // "HKLM\path read" (read, write, read-write or full) for every open and
  // create asked for, granted or not, in order.
  const std::vector<std::string>& opens() const { return opens_; }

  // Internal, used by the keys.
  struct Key {
    std::vector<std::pair<std::string, Value>> values;  // in creation order
  };
  Key* FindKey(const std::string& full_path);
  bool WriteRefused(const std::string& full_path, const std::string& name) const;
  void RecordWrite(const std::string& full_path, const std::string& name) {
    writes_.push_back(full_path + "\\" + name);
  }
  static std::string Normal(std::string text);
  static std::string_view AccessName(platform::Access access);
  static std::string FullPath(platform::Hive hive, std::string_view path);

 private:
  std::map<std::string, Key> keys_;  // by normalised full path
  std::set<std::string> denied_open_;
  std::set<std::string> denied_write_;
  std::set<std::string> read_only_;
  std::vector<std::string> writes_;
  std::vector<std::string> opens_;

  bool Refused(const std::string& full, platform::Access access) const;
};

}  // namespace zalvo::testing
