// The registry as both programs use it: keys opened for the access an
// operation needs, string and double-word values, and the names of a key's
// values. Names and data are Windows-1251 text; key paths are given from the
// hive root, and a leading backslash is allowed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

enum class Hive : uint8_t { kCurrentUser, kLocalMachine };

// What a key is opened for. A standard account may read keys it may not
// write (the machine's Winlogon key, its own Policies keys), so each
// operation asks for no more than it does: kRead for the values and their
// names, kWrite for setting values, kReadWrite for both. kFull asks for
// every right of the key, as the agent (an administrator's service) does.
// Reading through a key opened for kWrite, or writing through one opened for
// kRead, is refused like any other access the key was not opened for.
enum class Access : uint8_t { kFull, kRead, kWrite, kReadWrite };

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;

  // A missing value reads as nullopt; a value of another type, or a refused
  // read, throws PlatformError. String data ends at its first zero byte.
  [[nodiscard]] virtual std::optional<std::string> ReadString(std::string_view name) = 0;
  [[nodiscard]] virtual std::optional<uint32_t> ReadDword(std::string_view name) = 0;

  // REG_SZ (the terminating zero counted in the stored length) and REG_DWORD.
  // A refused write throws PlatformError.
  virtual void WriteString(std::string_view name, std::string_view data) = 0;
  virtual void WriteDword(std::string_view name, uint32_t data) = 0;

  // The names of the key's values, in the order the registry gives them.
  virtual std::vector<std::string> ValueNames() = 0;

  // Deletes the value; false when there was none. Needs a key opened for
  // writing; a refused delete throws PlatformError.
  virtual bool DeleteValue(std::string_view name) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // Opens an existing key for the access. nullptr when the key is missing or
  // the access is refused; a caller that must tell the two apart opens it
  // again for kRead.
  [[nodiscard]] virtual std::unique_ptr<RegistryKey> Open(Hive hive, std::string_view path,
                                                          Access access = Access::kFull) = 0;

  // Opens the key for the access, creating it and its missing parents.
  // nullptr when it can be neither opened nor created.
  [[nodiscard]] virtual std::unique_ptr<RegistryKey> Create(Hive hive, std::string_view path,
                                                            Access access = Access::kFull) = 0;
};

// Where a program that is not the customer (the agent's service) writes the
// customer's values: a registry whose current-user hive is the hive of the
// customer's account, chosen anew at every use.
class CustomerRegistry {
 public:
  virtual ~CustomerRegistry() = default;

  struct Choice {
    // Its current-user hive is the customer's; with no customer hive loaded
    // every current-user key reads as missing.
    std::unique_ptr<Registry> registry;
    // Whose hive that is, or why there is none, for the log.
    std::string whose;
  };
  [[nodiscard]] virtual Choice Choose() = 0;
};

}  // namespace zalvo::platform
