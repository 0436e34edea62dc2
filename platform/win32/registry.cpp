#include "platform/win32/registry.h"

#include <windows.h>

#include <optional>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using platform::Hive;
using platform::PlatformError;

HKEY Root(Hive hive) {
  return hive == Hive::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// The rights each kind of access asks for.
REGSAM AccessMask(platform::Access access) {
  switch (access) {
    case platform::Access::kRead:
      return KEY_QUERY_VALUE;
    case platform::Access::kWrite:
      return KEY_SET_VALUE;
    case platform::Access::kReadWrite:
      return KEY_QUERY_VALUE | KEY_SET_VALUE;
    case platform::Access::kFull:
      break;
  }
  return KEY_ALL_ACCESS;
}

std::wstring KeyPath(std::string_view path) {
  while (!path.empty() && path.front() == '\\') {
    path.remove_prefix(1);
  }
  return Widen(path);
}

class Win32Key final : public platform::RegistryKey {
 public:
  explicit Win32Key(HKEY key) : key_(key) {}

  std::optional<std::string> ReadString(std::string_view name) override {
    std::wstring wname = Widen(name);
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
      return std::nullopt;
    }
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegQueryValueEx", static_cast<uint32_t>(rc));
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    rc = RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegQueryValueEx", static_cast<uint32_t>(rc));
    }
    // The text ends at its first zero character (the stored terminator).
    return Narrow(std::wstring(data.data()));
  }

  std::optional<uint32_t> ReadDword(std::string_view name) override {
    std::wstring wname = Widen(name);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
      return std::nullopt;
    }
    if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && type != REG_DWORD)) {
      throw PlatformError("Invalid data type for '" + std::string(name) + "'");
    }
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegQueryValueEx", static_cast<uint32_t>(rc));
    }
    return value;
  }

  void WriteString(std::string_view name, std::string_view data) override {
    std::wstring wdata = Widen(data);
    Set(name, REG_SZ, wdata.c_str(), static_cast<DWORD>((wdata.size() + 1) * sizeof(wchar_t)));
  }

  void WriteDword(std::string_view name, uint32_t data) override {
    DWORD value = data;
    Set(name, REG_DWORD, &value, sizeof value);
  }

  std::vector<std::string> ValueNames() override {
    std::vector<std::string> names;
    DWORD count = 0;
    DWORD longest = 0;
    LONG rc = RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &count, &longest, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegQueryInfoKey", static_cast<uint32_t>(rc));
    }
    std::vector<wchar_t> buffer(longest + 1);
    for (DWORD i = 0;; ++i) {
      DWORD length = static_cast<DWORD>(buffer.size());
      rc = RegEnumValueW(key_.get(), i, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) {
        break;
      }
      if (rc != ERROR_SUCCESS) {
        ThrowError("RegEnumValue", static_cast<uint32_t>(rc));
      }
      names.push_back(Narrow(std::wstring_view(buffer.data(), length)));
    }
    return names;
  }

  bool DeleteValue(std::string_view name) override {
    LONG rc = RegDeleteValueW(key_.get(), Widen(name).c_str());
    if (rc == ERROR_FILE_NOT_FOUND) {
      return false;
    }
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegDeleteValue '" + std::string(name) + "'", static_cast<uint32_t>(rc));
    }
    return true;
  }

 private:
  void Set(std::string_view name, DWORD type, const void* data, DWORD size) {
    LONG rc = RegSetValueExW(key_.get(), Widen(name).c_str(), 0, type,
                             static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS) {
      ThrowError("RegSetValueEx '" + std::string(name) + "'", static_cast<uint32_t>(rc));
    }
  }

  ScopedKey key_;
};

// The root key and the path under it; nullopt for a current-user hive that
// is not there. other_user: the current user is HKEY_USERS\<sid>.
std::optional<std::pair<HKEY, std::wstring>> Locate(Hive hive, std::string_view path,
                                                    bool other_user,
                                                    const std::optional<std::wstring>& sid) {
  if (hive == Hive::kCurrentUser && other_user) {
    if (!sid) {
      return std::nullopt;
    }
    return std::pair{HKEY_USERS, *sid + L"\\" + KeyPath(path)};
  }
  return std::pair{Root(hive), KeyPath(path)};
}

}  // namespace

Win32Registry Win32Registry::WithUserHive(std::optional<std::string> sid) {
  Win32Registry registry;
  registry.other_user_ = true;
  if (sid) {
    registry.user_sid_ = Widen(*sid);
  }
  return registry;
}

std::unique_ptr<platform::RegistryKey> Win32Registry::Open(Hive hive, std::string_view path,
                                                           platform::Access access) {
  auto where = Locate(hive, path, other_user_, user_sid_);
  HKEY key = nullptr;
  if (!where || RegOpenKeyExW(where->first, where->second.c_str(), 0, AccessMask(access), &key) !=
                    ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32Key>(key);
}

std::unique_ptr<platform::RegistryKey> Win32Registry::Create(Hive hive, std::string_view path,
                                                             platform::Access access) {
  auto where = Locate(hive, path, other_user_, user_sid_);
  HKEY key = nullptr;
  if (!where ||
      RegCreateKeyExW(where->first, where->second.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      AccessMask(access), nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32Key>(key);
}

}  // namespace zalvo::win32
