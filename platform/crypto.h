// The system's cryptography, as the signed datagrams and the stored
// passwords need it: HMAC-SHA256, PBKDF2 over it, and random bytes. Windows
// uses BCrypt, Linux OpenSSL's libcrypto and getrandom; the SHA-256 itself is
// always the system's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>

namespace zalvo::platform {

inline constexpr size_t kSha256Size = 32;
using Sha256Mac = std::array<uint8_t, kSha256Size>;

// The HMAC-SHA256 of the message under the key. Throws PlatformError when
// the system's cryptography refuses.
[[nodiscard]] Sha256Mac HmacSha256(std::span<const uint8_t> key, std::string_view message);

// One key's HMAC-SHA256 with its keyed state computed once, so that each MAC
// costs the hashing of its message alone: no allocation and no look-up of
// the algorithm per message, which keeps a flood of forged datagrams cheap.
// Used by one thread at a time.
class HmacSha256Key {
 public:
  // Throws PlatformError when the system's cryptography refuses.
  explicit HmacSha256Key(std::span<const uint8_t> key);
  ~HmacSha256Key();
  HmacSha256Key(HmacSha256Key&&) noexcept;
  HmacSha256Key& operator=(HmacSha256Key&&) noexcept;
  HmacSha256Key(const HmacSha256Key&) = delete;
  HmacSha256Key& operator=(const HmacSha256Key&) = delete;

  // The MAC of the parts joined without separators. Throws PlatformError.
  [[nodiscard]] Sha256Mac Mac(std::initializer_list<std::string_view> parts);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Fills the bytes from the system's random generator. Throws PlatformError.
void RandomBytes(std::span<uint8_t> bytes);

// PBKDF2 with HMAC-SHA256 (RFC 8018) of the password and the salt, with the
// number of iterations (at least 1), 32 bytes long: the slow hash under which
// a password is kept. Throws PlatformError when the system's cryptography
// refuses.
[[nodiscard]] Sha256Mac Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt,
                                     uint32_t iterations);

// Whether the two byte strings are equal, in a time that depends on their
// lengths only, never on where they differ.
[[nodiscard]] inline bool EqualInConstantTime(std::span<const uint8_t> a,
                                              std::span<const uint8_t> b) {
  if (a.size() != b.size()) {
    return false;
  }
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
  }
  return difference == 0;
}

}  // namespace zalvo::platform
