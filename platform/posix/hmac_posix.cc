// Keyed hashing: HMAC-SHA256 (RFC 2104) over libcrypto's SHA-256.
//
// The digest is fetched from the provider once per process. libcrypto's one-call HMAC() looks
// the algorithm up again on every call, which costs more than hashing a whole document.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr size_t kBlockSize = 64;  // SHA-256's block
constexpr size_t kMacSize = 32;

const EVP_MD* Sha256() {
  // Kept for the life of the process; thread-safe static initialisation.
  static EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return digest;
}

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool Digest(EVP_MD_CTX* context, const unsigned char* pad, const void* data, size_t data_size,
            unsigned char out[kMacSize]) {
  unsigned int length = 0;
  return EVP_DigestInit_ex2(context, Sha256(), nullptr) == 1 &&
         EVP_DigestUpdate(context, pad, kBlockSize) == 1 &&
         (data_size == 0 || EVP_DigestUpdate(context, data, data_size) == 1) &&
         EVP_DigestFinal_ex(context, out, &length) == 1 && length == kMacSize;
}

}  // namespace

bool HmacSha256(const void* key, size_t key_size, const void* data, size_t data_size,
                unsigned char mac[32]) {
  if (Sha256() == nullptr || (key == nullptr && key_size != 0) ||
      (data == nullptr && data_size != 0))
    return false;
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context) return false;

  // A key longer than a block is replaced by its digest; a shorter one is padded with zeros.
  unsigned char block[kBlockSize] = {};
  if (key_size > kBlockSize) {
    unsigned int length = 0;
    if (EVP_DigestInit_ex2(context.get(), Sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), key, key_size) != 1 ||
        EVP_DigestFinal_ex(context.get(), block, &length) != 1)
      return false;
  } else if (key_size != 0) {
    std::memcpy(block, key, key_size);
  }
  unsigned char inner_pad[kBlockSize];
  unsigned char outer_pad[kBlockSize];
  for (size_t i = 0; i < kBlockSize; ++i) {
    inner_pad[i] = block[i] ^ 0x36;
    outer_pad[i] = block[i] ^ 0x5c;
  }
  unsigned char inner[kMacSize];
  const bool done = Digest(context.get(), inner_pad, data, data_size, inner) &&
                    Digest(context.get(), outer_pad, inner, kMacSize, mac);
  OPENSSL_cleanse(block, sizeof block);
  OPENSSL_cleanse(inner_pad, sizeof inner_pad);
  OPENSSL_cleanse(outer_pad, sizeof outer_pad);
  return done;
}

}  // namespace platform
