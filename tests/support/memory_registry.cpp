#include "tests/support/memory_registry.h"

#include "platform/error.h"

namespace zalvo::testing {
namespace {

using platform::PlatformError;

class MemoryKey final : public platform::RegistryKey {
 public:
  MemoryKey(MemoryRegistry& registry, std::string full_path)
      : registry_(registry), path_(std::move(full_path)) {}

  std::optional<std::string> ReadString(std::string_view name) override {
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
    std::vector<std::string> names;
    if (MemoryRegistry::Key* key = registry_.FindKey(path_)) {
      for (const auto& [name, value] : key->values) {
        names.push_back(name);
      }
    }
    return names;
  }

 private:
  void Refuse(std::string_view name) {
    if (registry_.WriteRefused(path_, std::string(name))) {
      throw PlatformError("Access is denied", 5);
    }
  }

  MemoryRegistry& registry_;
  std::string path_;
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

std::unique_ptr<platform::RegistryKey> MemoryRegistry::Open(platform::Hive hive,
                                                            std::string_view path) {
  std::string full = FullPath(hive, path);
  if (denied_open_.count(Normal(full)) > 0 || FindKey(full) == nullptr) {
    return nullptr;
  }
  return std::make_unique<MemoryKey>(*this, full);
}

std::unique_ptr<platform::RegistryKey> MemoryRegistry::Create(platform::Hive hive,
                                                              std::string_view path) {
  std::string full = FullPath(hive, path);
  if (denied_open_.count(Normal(full)) > 0) {
    return nullptr;
  }
  AddKey(full);
  return std::make_unique<MemoryKey>(*this, full);
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
