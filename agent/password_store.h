// Where a station with the service keeps the lock screen's two passwords:
// salted slow hashes in the machine's key HKLM\SOFTWARE\Zalvo\Passwords,
// which only SYSTEM and the administrators may open. The key's existence is
// the mark that tells the lock screen to have every password checked by the
// service; the customer's account can't read, change or remove it.
//
//   AdminPassword        the administrator password's hash (none: no
//                        administrator log-in)
//   SmallPassword        the small password's hash (none: no log-in of
//                        user "1")
//   CustomerCopiesTaken  1 once the copies in the customer account's hive
//                        were taken over
//
// A hash is "pbkdf2-sha256$<iterations>$<salt: 32 hex digits>$<64 hex
// digits>": PBKDF2-HMAC-SHA256 of the password's Windows-1251 bytes with a
// random 16-byte salt. Each hash carries its own count, so a real station
// keeps 600,000 iterations and a test may keep few.
//
// The copies the lock screen kept before, which the customer can read, are
// taken over and removed: krv.krv in the Windows directory (plain text) and
// the values ZalvoPassword and SmallPassword of HKCU\Software\Kav\Zalvo in
// the customer account's hive (scrambled).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"
#include "platform/registry.h"
#include "settings/registry_names.h"

namespace zalvo::agent {

inline constexpr std::string_view kPasswordKeyPath = settings::kPasswordStoreKey;
inline constexpr std::string_view kAdminPasswordValue = "AdminPassword";
inline constexpr std::string_view kSmallPasswordValue = "SmallPassword";
inline constexpr std::string_view kCustomerCopiesValue = "CustomerCopiesTaken";
// OWASP's count for PBKDF2-HMAC-SHA256.
inline constexpr uint32_t kPasswordIterations = 600000;
// The longest password taken over: the lock screen's registry form kept 255
// bytes.
inline constexpr size_t kLongestPassword = 255;

enum class PasswordKind : uint8_t { kAdmin, kSmall };

// "administrator password" or "small password", for the log.
std::string_view PasswordName(PasswordKind kind);

struct PasswordHash {
  uint32_t iterations = 0;
  std::array<uint8_t, 16> salt{};
  platform::Sha256Mac hash{};
};

// A new hash of the password with a random salt. Throws PlatformError.
[[nodiscard]] PasswordHash HashPassword(std::string_view password, uint32_t iterations);
[[nodiscard]] std::string FormatPasswordHash(const PasswordHash& hash);
// nullopt for a text that is not a hash of the form above.
[[nodiscard]] std::optional<PasswordHash> ParsePasswordHash(std::string_view text);
// Whether the password gives the hash; the comparison takes the same time
// wherever the two differ. Throws PlatformError.
[[nodiscard]] bool PasswordMatches(const PasswordHash& hash, std::string_view password);

class PasswordStore {
 public:
  struct Options {
    // The count of new hashes.
    uint32_t iterations = kPasswordIterations;
    // Creates the machine key (a path below HKEY_LOCAL_MACHINE) so that only
    // SYSTEM and the administrators may open it, and gives an existing one
    // those rights; throws PlatformError. None: the key is created as any
    // other (the simulated station has no rights).
    std::function<void(std::string_view machine_path)> protect;
  };

  PasswordStore(platform::Registry& machine, Options options);

  // Whether the key exists: the service keeps the passwords.
  [[nodiscard]] bool Exists();
  // Creates the key with its rights, or gives an existing one its rights
  // again. Throws PlatformError.
  void Create();
  // The hash kept; nullopt when none is. Throws PlatformError when the key
  // can't be read or the value is not a hash.
  [[nodiscard]] std::optional<PasswordHash> Hash(PasswordKind kind);
  // Keeps the password's new hash. Throws PlatformError.
  void Keep(PasswordKind kind, std::string_view password);
  [[nodiscard]] bool CustomerCopiesTaken();
  void MarkCustomerCopiesTaken();

 private:
  std::unique_ptr<platform::RegistryKey> Key(platform::Access access);

  platform::Registry& machine_;
  Options options_;
};

// Takes the passwords of krv.krv (the file's bytes; its lines p and ps)
// over: each one the file holds replaces the one kept. The caller then
// deletes the file. Lines for the log. Throws PlatformError when a hash can't
// be kept.
std::vector<std::string> TakeOverPasswordFile(PasswordStore& store, std::string_view bytes,
                                              const std::string& path);

// The scrambled copies in the customer account's hive (its current-user
// hive): the first time (CustomerCopiesTaken not set), each becomes the
// password when none is kept yet; every time, both values are deleted and
// CustomerCopiesTaken is set. Lines for the log. Throws PlatformError when a
// value can't be read or deleted, or a hash can't be kept.
std::vector<std::string> TakeOverCustomerCopies(PasswordStore& store,
                                                platform::Registry& customer_hive);

}  // namespace zalvo::agent
