#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cerrno>
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

void RandomBytes(std::span<uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      int code = errno;
      throw PlatformError("getrandom: " + std::generic_category().message(code), code);
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace zalvo::platform
