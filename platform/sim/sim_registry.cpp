#include "platform/sim/sim_registry.h"

#include <system_error>

#include "platform/error.h"
#include "platform/sim/sim_files.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::sim {
namespace {

using platform::Hive;
using platform::PlatformError;

std::string Normalise(std::string_view path) {
  while (!path.empty() && path.front() == '\\') {
    path.remove_prefix(1);
  }
  while (!path.empty() && path.back() == '\\') {
    path.remove_suffix(1);
  }
  return std::string(path);
}

class SimKey final : public platform::RegistryKey {
 public:
  SimKey(SimRegistry& registry, Hive hive, std::string path, platform::Access access)
      : registry_(registry), hive_(hive), path_(std::move(path)), access_(access) {}

  std::optional<std::string> ReadString(std::string_view name) override {
    auto value = Read(name);
    if (!value) {
      return std::nullopt;
    }
    if (value->type != kRegSz && value->type != kRegExpandSz) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    return value->data.substr(0, value->data.find('\0'));
  }

  std::optional<uint32_t> ReadDword(std::string_view name) override {
    auto value = Read(name);
    if (!value) {
      return std::nullopt;
    }
    if (value->type != kRegDword || value->data.size() != 4) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      v |= static_cast<uint32_t>(static_cast<unsigned char>(value->data[k])) << (8 * k);
    }
    return v;
  }

  void WriteString(std::string_view name, std::string_view data) override {
    Write(name, kRegSz, std::string(data));
  }

  void WriteDword(std::string_view name, uint32_t data) override {
    std::string bytes(4, '\0');
    for (size_t k = 0; k < 4; ++k) {
      bytes[k] = static_cast<char>((data >> (8 * k)) & 0xFF);
    }
    Write(name, kRegDword, bytes);
  }

  std::vector<std::string> ValueNames() override {
    Require(access_ != platform::Access::kWrite, "listing", path_);
    return registry_.WithHive(hive_, [&](RegHive& content, bool&) {
      RegKey* key = Existing(content);
      std::vector<std::string> names;
      if (key != nullptr) {
        for (const RegValue& value : key->values) {
          names.push_back(value.name);
        }
      }
      return names;
    });
  }

  bool DeleteValue(std::string_view name) override {
    Require(access_ != platform::Access::kRead, "deleting", name);
    if (registry_.WriteDenied(hive_, path_, name)) {
      throw PlatformError("Access is denied deleting '" + std::string(name) + "'",
                          platform::ErrorKind::kAccessDenied);
    }
    return registry_.WithHive(hive_, [&](RegHive& content, bool& changed) {
      RegKey* key = Existing(content);
      RegValue* value = key == nullptr ? nullptr : FindValue(*key, name);
      if (value == nullptr) {
        return false;
      }
      key->values.erase(key->values.begin() + (value - key->values.data()));
      changed = true;
      return true;
    });
  }

 private:
  // The key in the hive as read now; a key deleted meanwhile is an error.
  RegKey* Existing(RegHive& content) {
    if (!content.Exists(path_)) {
      throw PlatformError("Registry key " + path_ + " was deleted", platform::ErrorKind::kNotFound);
    }
    return content.Find(path_);
  }

  // A right the key was not opened for.
  void Require(bool granted, std::string_view what, std::string_view name) const {
    if (!granted) {
      throw PlatformError("Access is denied " + std::string(what) + " '" + std::string(name) + "'",
                          platform::ErrorKind::kAccessDenied);
    }
  }

  std::optional<RegValue> Read(std::string_view name) {
    Require(access_ != platform::Access::kWrite, "reading", name);
    return registry_.WithHive(hive_, [&](RegHive& content, bool&) -> std::optional<RegValue> {
      RegKey* key = Existing(content);
      RegValue* value = key == nullptr ? nullptr : FindValue(*key, name);
      if (value == nullptr) {
        return std::nullopt;
      }
      return *value;
    });
  }

  void Write(std::string_view name, uint32_t type, std::string data) {
    Require(access_ != platform::Access::kRead, "writing", name);
    if (registry_.WriteDenied(hive_, path_, name)) {
      throw PlatformError("Access is denied writing '" + std::string(name) + "'",
                          platform::ErrorKind::kAccessDenied);
    }
    registry_.WithHive(hive_, [&](RegHive& content, bool& changed) {
      Existing(content);
      RegKey& key = content.FindOrAdd(path_);
      if (RegValue* value = FindValue(key, name)) {
        value->type = type;
        value->data = std::move(data);
      } else {
        key.values.push_back(RegValue{std::string(name), type, std::move(data)});
      }
      changed = true;
      return 0;
    });
  }

  SimRegistry& registry_;
  Hive hive_;
  std::string path_;
  platform::Access access_;
};

// One rule of deny.txt: a verb, a key in brackets, and an optional value name
// in double quotes.
struct DenyRule {
  std::string verb;
  std::string key;  // with its hive root
  std::optional<std::string> value;
};

std::vector<DenyRule> ReadDenyRules(const std::filesystem::path& file) {
  std::vector<DenyRule> rules;
  std::string content;
  try {
    content = ReadWholeFile(file);
  } catch (const PlatformError&) {
    return rules;
  }
  for (const std::string& utf8 : text::SplitLines(content)) {
    std::string line = text::Utf8ToCp1251(utf8);
    size_t open = line.find('[');
    size_t close = line.rfind(']');
    if (line.empty() || line[0] == '#' || open == std::string::npos || close < open) {
      continue;
    }
    DenyRule rule;
    rule.verb = line.substr(0, line.find(' '));
    rule.key = Normalise(line.substr(open + 1, close - open - 1));
    size_t quote = line.find('"', close);
    if (quote != std::string::npos) {
      size_t end_quote = line.find('"', quote + 1);
      rule.value = line.substr(
          quote + 1, end_quote == std::string::npos ? std::string::npos : end_quote - quote - 1);
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::string FullPath(Hive hive, std::string_view path) {
  std::string normal = Normalise(path);
  return std::string(SimRegistry::RootName(hive)) + (normal.empty() ? "" : "\\" + normal);
}

}  // namespace

SimRegistry::SimRegistry(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::string_view SimRegistry::RootName(Hive hive) {
  return hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::filesystem::path SimRegistry::HiveFile(Hive hive) const {
  return folder_ / (std::string(RootName(hive)) + ".reg");
}

RegHive SimRegistry::Load(Hive hive) const {
  std::filesystem::path file = HiveFile(hive);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    return RegHive{std::string(RootName(hive)), {}};
  }
  try {
    return ParseRegedit4(RootName(hive), ReadWholeFile(file));
  } catch (const std::runtime_error& e) {
    throw PlatformError(file.string() + ": " + e.what());
  }
}

void SimRegistry::Save(Hive hive, const RegHive& content) const {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  WriteFileAtomically(HiveFile(hive), FormatRegedit4(content));
}

bool SimRegistry::OpenDenied(Hive hive, std::string_view path) {
  std::string full = FullPath(hive, path);
  for (const DenyRule& rule : ReadDenyRules(folder_ / "deny.txt")) {
    if (rule.verb == "open" && text::EqualsIgnoreCase(rule.key, full)) {
      return true;
    }
  }
  return false;
}

bool SimRegistry::WriteDenied(Hive hive, std::string_view path, std::string_view name) {
  std::string full = FullPath(hive, path);
  for (const DenyRule& rule : ReadDenyRules(folder_ / "deny.txt")) {
    if (rule.verb == "write" && text::EqualsIgnoreCase(rule.key, full) &&
        (!rule.value || text::EqualsIgnoreCase(*rule.value, name))) {
      return true;
    }
  }
  return false;
}

std::unique_ptr<platform::RegistryKey> SimRegistry::Open(Hive hive, std::string_view path,
                                                         platform::Access access) {
  std::lock_guard lock(mutex_);
  if (OpenDenied(hive, path)) {
    return nullptr;
  }
  try {
    if (!Load(hive).Exists(path)) {
      return nullptr;
    }
  } catch (const PlatformError&) {
    return nullptr;
  }
  return std::make_unique<SimKey>(*this, hive, Normalise(path), access);
}

std::unique_ptr<platform::RegistryKey> SimRegistry::Create(Hive hive, std::string_view path,
                                                           platform::Access access) {
  std::lock_guard lock(mutex_);
  if (OpenDenied(hive, path)) {
    return nullptr;
  }
  try {
    WithHive(hive, [&](RegHive& content, bool& changed) {
      if (!content.Exists(path)) {
        content.FindOrAdd(path);
        changed = true;
      }
      return 0;
    });
  } catch (const PlatformError&) {
    return nullptr;
  }
  return std::make_unique<SimKey>(*this, hive, Normalise(path), access);
}

}  // namespace zalvo::sim
