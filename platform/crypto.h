// The system's cryptography, as the signed datagrams need it: HMAC-SHA256
// and random bytes. Windows uses BCrypt, Linux OpenSSL's libcrypto and
// getrandom; nothing here computes a hash by itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zalvo::platform {

inline constexpr size_t kSha256Size = 32;
using Sha256Mac = std::array<uint8_t, kSha256Size>;

// The HMAC-SHA256 of the message under the key. Throws PlatformError when
// the system's cryptography refuses.
[[nodiscard]] Sha256Mac HmacSha256(std::span<const uint8_t> key, std::string_view message);

// Fills the bytes from the system's random generator. Throws PlatformError.
void RandomBytes(std::span<uint8_t> bytes);

}  // namespace zalvo::platform
