#include "platform/crypto.h"

#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <mutex>
#include <vector>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"

namespace zalvo::platform {
namespace {

inline void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) {
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
}
inline void DestroyHash(BCRYPT_HASH_HANDLE hash) {
  ::BCryptDestroyHash(hash);
}
using ScopedAlgorithm = Scoped<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using ScopedHash = Scoped<BCRYPT_HASH_HANDLE, DestroyHash>;

void Check(NTSTATUS status, std::string_view what) {
  if (!BCRYPT_SUCCESS(status)) {
    win32::ThrowError(what, static_cast<uint32_t>(status));
  }
}

// The HMAC-SHA256 provider is opened once per process and shared: a handle
// of the algorithm may create hashes on several threads at once.
BCRYPT_ALG_HANDLE HmacProvider() {
  static ScopedAlgorithm provider;
  static std::once_flag once;
  std::call_once(once, [] {
    Check(::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr,
                                        BCRYPT_ALG_HANDLE_HMAC_FLAG),
          "BCryptOpenAlgorithmProvider");
  });
  return provider.get();
}

}  // namespace

Sha256Mac HmacSha256(std::span<const uint8_t> key, std::string_view message) {
  ScopedHash hash;
  // BCrypt keeps the secret in a hash object that it allocates itself.
  Check(::BCryptCreateHash(HmacProvider(), hash.put(), nullptr, 0, const_cast<PUCHAR>(key.data()),
                           static_cast<ULONG>(key.size()), 0),
        "BCryptCreateHash");
  Check(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                         static_cast<ULONG>(message.size()), 0),
        "BCryptHashData");
  Sha256Mac mac{};
  Check(::BCryptFinishHash(hash.get(), mac.data(), static_cast<ULONG>(mac.size()), 0),
        "BCryptFinishHash");
  return mac;
}

// A reusable BCrypt hash object in memory of its own: after each finish it is
// back in its keyed state, ready for the next message.
struct HmacSha256Key::State {
  std::vector<UCHAR> object;
  ScopedHash hash;
};

HmacSha256Key::HmacSha256Key(std::span<const uint8_t> key) : state_(std::make_unique<State>()) {
  DWORD object_size = 0;
  ULONG written = 0;
  Check(
      ::BCryptGetProperty(HmacProvider(), BCRYPT_OBJECT_LENGTH,
                          reinterpret_cast<PUCHAR>(&object_size), sizeof object_size, &written, 0),
      "BCryptGetProperty");
  state_->object.resize(object_size);
  Check(::BCryptCreateHash(HmacProvider(), state_->hash.put(), state_->object.data(), object_size,
                           const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()),
                           BCRYPT_HASH_REUSABLE_FLAG),
        "BCryptCreateHash");
}

HmacSha256Key::~HmacSha256Key() = default;
HmacSha256Key::HmacSha256Key(HmacSha256Key&&) noexcept = default;
HmacSha256Key& HmacSha256Key::operator=(HmacSha256Key&&) noexcept = default;

Sha256Mac HmacSha256Key::Mac(std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) {
    Check(::BCryptHashData(state_->hash.get(),
                           reinterpret_cast<PUCHAR>(const_cast<char*>(part.data())),
                           static_cast<ULONG>(part.size()), 0),
          "BCryptHashData");
  }
  Sha256Mac mac{};
  Check(::BCryptFinishHash(state_->hash.get(), mac.data(), static_cast<ULONG>(mac.size()), 0),
        "BCryptFinishHash");
  return mac;
}

Sha256Mac Pbkdf2Sha256(std::string_view password, std::span<const uint8_t> salt,
                       uint32_t iterations) {
  if (iterations == 0) {
    throw PlatformError("PBKDF2 needs at least one iteration");
  }
  Sha256Mac key{};
  Check(::BCryptDeriveKeyPBKDF2(HmacProvider(),
                                reinterpret_cast<PUCHAR>(const_cast<char*>(password.data())),
                                static_cast<ULONG>(password.size()),
                                const_cast<PUCHAR>(salt.data()), static_cast<ULONG>(salt.size()),
                                iterations, key.data(), static_cast<ULONG>(key.size()), 0),
        "BCryptDeriveKeyPBKDF2");
  return key;
}

void RandomBytes(std::span<uint8_t> bytes) {
  Check(::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG),
        "BCryptGenRandom");
}

}  // namespace zalvo::platform
