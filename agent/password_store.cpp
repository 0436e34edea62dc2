#include "agent/password_store.h"

#include <span>

#include "platform/error.h"
#include "settings/passwords.h"
#include "settings/registry_names.h"
#include "text/text.h"

namespace zalvo::agent {
namespace {

using platform::Access;
using platform::Hive;
using platform::PlatformError;

constexpr std::string_view kScheme = "pbkdf2-sha256";

std::string_view ValueName(PasswordKind kind) {
  return kind == PasswordKind::kAdmin ? kAdminPasswordValue : kSmallPasswordValue;
}

std::string Where() {
  return "HKEY_LOCAL_MACHINE\\" + std::string(kPasswordKeyPath);
}

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

bool FromHex(std::string_view text, std::span<uint8_t> out) {
  if (text.size() != out.size() * 2) {
    return false;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    int high = text::HexDigit(text[2 * i]);
    int low = text::HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// A password that may be kept: 1 to 255 bytes on one line.
bool Keepable(std::string_view password) {
  return !password.empty() && password.size() <= kLongestPassword &&
         password.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

std::string_view PasswordName(PasswordKind kind) {
  return kind == PasswordKind::kAdmin ? "administrator password" : "small password";
}

PasswordHash HashPassword(std::string_view password, uint32_t iterations) {
  PasswordHash hash;
  hash.iterations = iterations;
  platform::RandomBytes(hash.salt);
  hash.hash = platform::Pbkdf2Sha256(password, hash.salt, iterations);
  return hash;
}

std::string FormatPasswordHash(const PasswordHash& hash) {
  return std::string(kScheme) + "$" + std::to_string(hash.iterations) + "$" + Hex(hash.salt) + "$" +
         Hex(hash.hash);
}

std::optional<PasswordHash> ParsePasswordHash(std::string_view text) {
  const std::string prefix = std::string(kScheme) + "$";
  if (text.substr(0, prefix.size()) != prefix) {
    return std::nullopt;
  }
  text.remove_prefix(prefix.size());
  const size_t count_end = text.find('$');
  if (count_end == std::string_view::npos || count_end == 0 || count_end > 9) {
    return std::nullopt;
  }
  PasswordHash hash;
  for (char c : text.substr(0, count_end)) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    hash.iterations = hash.iterations * 10 + static_cast<uint32_t>(c - '0');
  }
  text.remove_prefix(count_end + 1);
  const size_t salt_end = text.find('$');
  if (hash.iterations == 0 || salt_end == std::string_view::npos ||
      !FromHex(text.substr(0, salt_end), hash.salt) ||
      !FromHex(text.substr(salt_end + 1), hash.hash)) {
    return std::nullopt;
  }
  return hash;
}

bool PasswordMatches(const PasswordHash& hash, std::string_view password) {
  const platform::Sha256Mac derived = platform::Pbkdf2Sha256(password, hash.salt, hash.iterations);
  return platform::EqualInConstantTime(derived, hash.hash);
}

PasswordStore::PasswordStore(platform::Registry& machine, Options options)
    : machine_(machine), options_(std::move(options)) {}

bool PasswordStore::Exists() {
  // The key opens for SYSTEM and the administrators, the store's only users.
  return machine_.Open(Hive::kLocalMachine, kPasswordKeyPath, Access::kRead) != nullptr;
}

void PasswordStore::Create() {
  if (options_.protect) {
    options_.protect(kPasswordKeyPath);
  } else if (!machine_.Create(Hive::kLocalMachine, kPasswordKeyPath, Access::kReadWrite)) {
    throw PlatformError(Where() + " can't be created", platform::ErrorKind::kAccessDenied);
  }
}

std::unique_ptr<platform::RegistryKey> PasswordStore::Key(Access access) {
  auto key = machine_.Open(Hive::kLocalMachine, kPasswordKeyPath, access);
  if (!key) {
    throw PlatformError(Where() + " is missing or can't be opened", platform::ErrorKind::kNotFound);
  }
  return key;
}

std::optional<PasswordHash> PasswordStore::Hash(PasswordKind kind) {
  std::optional<std::string> text = Key(Access::kRead)->ReadString(ValueName(kind));
  if (!text || text->empty()) {
    return std::nullopt;
  }
  std::optional<PasswordHash> hash = ParsePasswordHash(*text);
  if (!hash) {
    throw PlatformError(std::string(ValueName(kind)) + " in " + Where() +
                        " is not a password hash");
  }
  return hash;
}

void PasswordStore::Keep(PasswordKind kind, std::string_view password) {
  const std::string hash = FormatPasswordHash(HashPassword(password, options_.iterations));
  Key(Access::kWrite)->WriteString(ValueName(kind), hash);
}

bool PasswordStore::CustomerCopiesTaken() {
  return Key(Access::kRead)->ReadDword(kCustomerCopiesValue).value_or(0) != 0;
}

void PasswordStore::MarkCustomerCopiesTaken() {
  Key(Access::kWrite)->WriteDword(kCustomerCopiesValue, 1);
}

std::vector<std::string> TakeOverPasswordFile(PasswordStore& store, std::string_view bytes,
                                              const std::string& path) {
  const settings::PasswordOverride file = settings::ParsePasswordFile(bytes);
  std::vector<std::string> lines;
  for (auto [kind, value] : {std::pair{PasswordKind::kAdmin, &file.admin},
                             std::pair{PasswordKind::kSmall, &file.small}}) {
    if (!*value) {
      continue;
    }
    if (!Keepable(**value)) {
      lines.push_back("the " + std::string(PasswordName(kind)) + " of " + path +
                      " is longer than " + std::to_string(kLongestPassword) +
                      " bytes: not taken over");
      continue;
    }
    store.Keep(kind, **value);
    lines.push_back("the " + std::string(PasswordName(kind)) + " of " + path +
                    " is taken over: only its hash is kept, in " + Where());
  }
  return lines;
}

std::vector<std::string> TakeOverCustomerCopies(PasswordStore& store,
                                                platform::Registry& customer_hive) {
  std::vector<std::string> lines;
  const bool first = !store.CustomerCopiesTaken();
  const std::string where = "HKEY_CURRENT_USER\\" + std::string(settings::kZalvoKey);
  if (auto key = customer_hive.Open(Hive::kCurrentUser, settings::kZalvoKey, Access::kReadWrite)) {
    for (auto [kind, name] : {std::pair{PasswordKind::kAdmin, settings::kZalvoPassword},
                              std::pair{PasswordKind::kSmall, settings::kSmallPassword}}) {
      std::optional<std::string> stored = key->ReadString(name);
      if (!stored) {
        continue;
      }
      const std::string plain = settings::UnscramblePassword(*stored);
      const std::string copy = "the scrambled " + std::string(PasswordName(kind)) + " (" +
                               std::string(name) + ") of the customer account's " + where;
      if (!first) {
        lines.push_back(copy +
                        " is not taken over: passwords are set in the settings dialog or "
                        "by the installer");
      } else if (plain.empty()) {
        // An empty value stood for the built-in default, which no longer
        // unlocks anything.
      } else if (store.Hash(kind)) {
        lines.push_back(copy + " is not taken over: a " + std::string(PasswordName(kind)) +
                        " is kept already");
      } else {
        store.Keep(kind, plain);
        lines.push_back(copy + " is taken over: only its hash is kept, in " + Where());
      }
      (void)key->DeleteValue(name);
      lines.push_back(copy + " is deleted");
    }
  }
  if (first) {
    store.MarkCustomerCopiesTaken();
  }
  return lines;
}

}  // namespace zalvo::agent
