// Keyed hashing through libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/platform.h"

namespace platform {

bool HmacSha256(const void* key, size_t key_size, const void* data, size_t data_size,
                unsigned char mac[32]) {
  unsigned int length = 0;
  // HMAC() wants a non-null key pointer even for an empty key.
  static const unsigned char kEmpty = 0;
  const unsigned char* result =
      HMAC(EVP_sha256(), key ? key : &kEmpty, static_cast<int>(key_size),
           static_cast<const unsigned char*>(data ? data : &kEmpty), data_size, mac, &length);
  return result != nullptr && length == 32;
}

}  // namespace platform
