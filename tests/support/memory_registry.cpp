#include "tests/support/memory_registry.h"

#include "platform/error.h"

namespace zalvo::testing {
namespace {

using platform::PlatformError;

class MemoryKey final : public platform::RegistryKey {
 public:
  MemoryKey(MemoryRegistry& registry, std::string full_path, platform::Access access)
      : registry_(registry), path_(std::move(full_path)), access_(access) {}

  std::optional<std::string> ReadString(std::string_view name) override {
    Require(access_ != platform::Access::kWrite);
    const MemoryRegistry::Value* v = registry_.Get(path_, std::string(name));
    if (v == nullptr) {
      return std::nullopt;
    }
    if (v->is_dword || v->wrong_type) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    return v->text;
  }

  std::optional<uint32_t> ReadDword(std::string_view name) override {
    Require(access_ != platform::Access::kWrite);
    const MemoryRegistry::Value* v = registry_.Get(path_, std::string(name));
    if (v == nullptr) {
      return std::nullopt;
    }
    if (!v->is_dword || v->wrong_type) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    return v->dword;
  }

  void WriteString(std::string_view name, std::string_view data) override {
    Refuse(name);
    registry_.SetString(path_, std::string(name), std::string(data));
    registry_.RecordWrite(path_, std::string(name));
  }

  void WriteDword(std::string_view name, uint32_t data) override {
    Refuse(name);
    registry_.SetDword(path_, std::string(name), data);
    registry_.RecordWrite(path_, std::string(name));
  }

  std::vector<std::string> ValueNames() override {
    Require(access_ != platform::Access::kWrite);
    std::vector<std::string> names;
    if (MemoryRegistry::Key* key = registry_.FindKey(path_)) {
      for (const auto& [name, value] : key->values) {
        names.push_back(name);
      }
    }
    return names;
  }

  bool DeleteValue(std::string_view name) override {
    Refuse(name);
    MemoryRegistry::Key* key = registry_.FindKey(path_);
    if (key == nullptr) {
      return false;
    }
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
      if (MemoryRegistry::Normal(it->first) == MemoryRegistry::Normal(std::string(name))) {
        key->values.erase(it);
        registry_.RecordWrite(path_, std::string(name) + " deleted");
        return true;
      }
    }
    return false;
  }

 private:
  // A right the key was not opened for.
  static void Require(bool granted) {
    if (!granted) {
      throw PlatformError("Access is denied", platform::ErrorKind::kAccessDenied);
    }
  }

  void Refuse(std::string_view name) {
    Require(access_ != platform::Access::kRead);
    if (registry_.WriteRefused(path_, std::string(name))) {
      throw PlatformError("Access is denied", platform::ErrorKind::kAccessDenied);
    }
  }

  MemoryRegistry& registry_;
  std::string path_;
  platform::Access access_;
};

}  // namespace

std::string MemoryRegistry::Normal(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::string MemoryRegistry::FullPath(platform::Hive hive, std::string_view path) {
  while (!path.empty() && path.front() == '\\') {
    path.remove_prefix(1);
  }
  return std::string(hive == platform::Hive::kCurrentUser ? "HKCU\\" : "HKLM\\") +
         std::string(path);
}

MemoryRegistry::Key* MemoryRegistry::FindKey(const std::string& full_path) {
  auto it = keys_.find(Normal(full_path));
  return it == keys_.end() ? nullptr : &it->second;
}

bool MemoryRegistry::WriteRefused(const std::string& full_path, const std::string& name) const {
  return denied_write_.count(Normal(full_path) + "|" + Normal(name)) > 0 ||
         denied_write_.count(Normal(full_path) + "|*") > 0;
}

std::string_view MemoryRegistry::AccessName(platform::Access access) {
  switch (access) {
    case platform::Access::kRead:
      return "read";
    case platform::Access::kWrite:
      return "write";
    case platform::Access::kReadWrite:
      return "read-write";
    case platform::Access::kFull:
      break;
  }
  return "full";
}

bool MemoryRegistry::Refused(const std::string& full, platform::Access access) const {
  const std::string normal = Normal(full);
  if (denied_open_.count(normal) > 0) {
    return true;
  }
  if (access == platform::Access::kRead) {
    return false;
  }
  for (const std::string& prefix : read_only_) {
    if (normal.compare(0, prefix.size(), prefix) == 0 &&
        (normal.size() == prefix.size() || normal[prefix.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

std::unique_ptr<platform::RegistryKey> MemoryRegistry::Open(platform::Hive hive,
                                                            std::string_view path,
                                                            platform::Access access) {
  std::string full = FullPath(hive, path);
  opens_.push_back(full + " " + std::string(AccessName(access)));
  if (Refused(full, access) || FindKey(full) == nullptr) {
    return nullptr;
  }
  return std::make_unique<MemoryKey>(*this, full, access);
}

std::unique_ptr<platform::RegistryKey> MemoryRegistry::Create(platform::Hive hive,
                                                              std::string_view path,
                                                              platform::Access access) {
  std::string full = FullPath(hive, path);
  opens_.push_back(full + " " + std::string(AccessName(access)));
  // Creating a key is a write to its parent: refused below a read-only path.
  if (Refused(full, access) ||
      (FindKey(full) == nullptr && Refused(full, platform::Access::kWrite))) {
    return nullptr;
  }
  AddKey(full);
  return std::make_unique<MemoryKey>(*this, full, access);
}

void MemoryRegistry::AddKey(const std::string& full_path) {
  keys_[Normal(full_path)];
}

bool MemoryRegistry::HasKey(const std::string& full_path) const {
  return keys_.count(Normal(full_path)) > 0;
}

namespace {
MemoryRegistry::Value& Slot(MemoryRegistry::Key& key, const std::string& name) {
  for (auto& [existing, value] : key.values) {
    if (MemoryRegistry::Normal(existing) == MemoryRegistry::Normal(name)) {
      return value;
    }
  }
  key.values.emplace_back(name, MemoryRegistry::Value{});
  return key.values.back().second;
}
}  // namespace

void MemoryRegistry::SetString(const std::string& full_path, const std::string& name,
                               const std::string& text) {
  Value& v = Slot(keys_[Normal(full_path)], name);
  v = Value{false, text, 0, false};
}

void MemoryRegistry::SetDword(const std::string& full_path, const std::string& name,
                              uint32_t value) {
  Value& v = Slot(keys_[Normal(full_path)], name);
  v = Value{true, "", value, false};
}

void MemoryRegistry::SetWrongType(const std::string& full_path, const std::string& name) {
  Value& v = Slot(keys_[Normal(full_path)], name);
  v = Value{false, "", 0, true};
}

const MemoryRegistry::Value* MemoryRegistry::Get(const std::string& full_path,
                                                 const std::string& name) const {
  auto it = keys_.find(Normal(full_path));
  if (it == keys_.end()) {
    return nullptr;
  }
  for (const auto& [existing, value] : it->second.values) {
    if (Normal(existing) == Normal(name)) {
      return &value;
    }
  }
  return nullptr;
}

std::optional<std::string> MemoryRegistry::String(const std::string& full_path,
                                                  const std::string& name) const {
  const Value* v = Get(full_path, name);
  if (v == nullptr || v->is_dword || v->wrong_type) {
    return std::nullopt;
  }
  return v->text;
}

std::optional<uint32_t> MemoryRegistry::Dword(const std::string& full_path,
                                              const std::string& name) const {
  const Value* v = Get(full_path, name);
  if (v == nullptr || !v->is_dword) {
    return std::nullopt;
  }
  return v->dword;
}

}  // namespace zalvo::testing
