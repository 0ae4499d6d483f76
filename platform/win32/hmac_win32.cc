// HMAC-SHA256 with the Windows CNG primitives (BCrypt).
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

#include "platform/platform.h"

namespace platform {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  ~Algorithm() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
};

struct Hash {
  BCRYPT_HASH_HANDLE handle = nullptr;
  ~Hash() {
    if (handle) BCryptDestroyHash(handle);
  }
};

}  // namespace

bool HmacSha256(const void* key, size_t key_size, const void* data, size_t data_size,
                unsigned char mac[32]) {
  if (key_size > ULONG_MAX) return false;
  Algorithm algorithm;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM,
                                             nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return false;
  }
  // An empty key is still a key: give the call a valid pointer for it.
  static UCHAR no_key = 0;
  PUCHAR key_bytes = key_size != 0 ? static_cast<PUCHAR>(const_cast<void*>(key)) : &no_key;
  Hash hash;
  if (!Succeeded(BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, key_bytes,
                                  static_cast<ULONG>(key_size), 0))) {
    return false;
  }
  // BCryptHashData takes at most ULONG_MAX bytes per call.
  const UCHAR* bytes = static_cast<const UCHAR*>(data);
  while (data_size > 0) {
    const ULONG piece = data_size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(data_size);
    if (!Succeeded(BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes), piece, 0))) {
      return false;
    }
    bytes += piece;
    data_size -= piece;
  }
  return Succeeded(BCryptFinishHash(hash.handle, mac, 32, 0));
}

}  // namespace platform
