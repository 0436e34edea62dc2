#include "platform/crypto.h"

// SHA-256's low-level context is a plain structure that can be copied
// without allocating; libcrypto 3 marks it deprecated in favour of contexts
// that allocate on every copy.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <system_error>

#include "platform/error.h"

namespace zalvo::platform {

Sha256Mac HmacSha256(std::span<const uint8_t> key, std::string_view message) {
  Sha256Mac mac{};
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
           &length) == nullptr ||
      length != mac.size()) {
    throw PlatformError("HMAC-SHA256 failed in libcrypto");
  }
  return mac;
}

// HMAC (RFC 2104) over libcrypto's SHA-256: the hash states after the key's
// inner and outer pads, copied for each message.
struct HmacSha256Key::State {
  SHA256_CTX inner{};
  SHA256_CTX outer{};
};

namespace {

void Check(int ok) {
  if (ok != 1) {
    throw PlatformError("SHA-256 failed in libcrypto");
  }
}

}  // namespace

HmacSha256Key::HmacSha256Key(std::span<const uint8_t> key) : state_(std::make_unique<State>()) {
  constexpr size_t kBlock = SHA256_CBLOCK;
  std::array<uint8_t, kBlock> block{};
  if (key.size() > kBlock) {
    Check(SHA256(key.data(), key.size(), block.data()) != nullptr ? 1 : 0);
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  std::array<uint8_t, kBlock> pad{};
  for (size_t i = 0; i < kBlock; ++i) {
    pad[i] = static_cast<uint8_t>(block[i] ^ 0x36);
  }
  Check(SHA256_Init(&state_->inner));
  Check(SHA256_Update(&state_->inner, pad.data(), pad.size()));
  for (size_t i = 0; i < kBlock; ++i) {
    pad[i] = static_cast<uint8_t>(block[i] ^ 0x5c);
  }
  Check(SHA256_Init(&state_->outer));
  Check(SHA256_Update(&state_->outer, pad.data(), pad.size()));
  OPENSSL_cleanse(block.data(), block.size());
  OPENSSL_cleanse(pad.data(), pad.size());
}

HmacSha256Key::~HmacSha256Key() {
  if (state_) {
    OPENSSL_cleanse(state_.get(), sizeof(State));
  }
}
HmacSha256Key::HmacSha256Key(HmacSha256Key&&) noexcept = default;
HmacSha256Key& HmacSha256Key::operator=(HmacSha256Key&&) noexcept = default;

Sha256Mac HmacSha256Key::Mac(std::initializer_list<std::string_view> parts) {
  Sha256Mac inner_digest{};
  SHA256_CTX context = state_->inner;
  for (std::string_view part : parts) {
    Check(SHA256_Update(&context, part.data(), part.size()));
  }
  Check(SHA256_Final(inner_digest.data(), &context));
  context = state_->outer;
  Check(SHA256_Update(&context, inner_digest.data(), inner_digest.size()));
  Sha256Mac mac{};
  Check(SHA256_Final(mac.data(), &context));
  OPENSSL_cleanse(&context, sizeof context);
  return mac;
}

Sha256Mac Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt,
                       uint32_t iterations) {
  Sha256Mac key{};
  if (iterations == 0 || iterations > static_cast<uint32_t>(INT32_MAX) ||
      PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(key.size()), key.data()) != 1) {
    throw PlatformError("PBKDF2-HMAC-SHA256 failed in libcrypto");
  }
  return key;
}

void RandomBytes(std::span<uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      int code = errno;
      throw SystemError("getrandom: " + std::generic_category().message(code), code);
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace zalvo::platform
