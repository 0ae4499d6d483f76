// The seal of stored cache documents: a keyed integrity code over the printed text, carried in
// the stored text as the last child of the root:
//
//   ...<node id="__slcps__"><key id="sig">SEAL</key></node></SLCInfo>
//
// SEAL is the HMAC-SHA256 of the printed text (without the seal node) under the sealing key,
// written in base64 with the cache's file-name alphabet (letters, digits, "+", "-", with "="
// padding), so it never needs escaping. The check reports a mismatch but never refuses a text.
#ifndef QEM_CACHE_DOCUMENT_SEAL_H_
#define QEM_CACHE_DOCUMENT_SEAL_H_

#include <cstddef>
#include <string>

#include "cache/document/status.h"

// The seal node's opening (35 characters) and closing (13), and the root's closing tag.
extern const char kSLCacheSealOpening[];  // <node id="__slcps__"><key id="sig">
extern const char kSLCacheSealClosing[];  // </key></node>
extern const char kSLCacheRootClosing[];  // </SLCInfo>

// The sealing key in the form the seal operations use; the store keeps one, made by
// SLCacheLoadSealingKey, from its `prepare` on.
struct SLCacheSealingKey {
  std::string bytes;
};

// Fills `key` with the sealing key. 0, or kSLCacheNullArgument without a destination.
SLCacheStatus SLCacheLoadSealingKey(SLCacheSealingKey* key);

// The base64 alphabet of the cache: the standard one with "-" in the place of "/".
extern const char kSLCacheBase64Alphabet[];

// Encodes bytes in base64 (RFC 4648 bit order) with kSLCacheBase64Alphabet; a final group of one
// or two bytes is completed with "==" or "=". The result replaces `text`.
void SLCacheBase64Encode(const void* data, size_t size, std::string* text);

// The seal text of `text` under `key`: kSLCacheFailure (2) without a usable key (null or
// empty), kSLCacheOutOfMemory, or kSLCacheSealFailed when the keyed hash fails.
SLCacheStatus computeSignature(const SLCacheSealingKey* key, const std::string& text,
                               std::string* seal);

// Seals a printed document text in place: the seal node goes right before the last
// "</SLCInfo>". Fails with the code of computeSignature, or with kSLCacheFailure when the text
// has no "</SLCInfo>"; the text is unchanged after a failure.
SLCacheStatus embedSignature(const SLCacheSealingKey* key, std::string* text);

// Sets `text` to the `length` bytes read and, when they carry a seal node before the last
// "</SLCInfo>", removes it and checks the seal. A missing, misplaced or wrong seal is only
// reported; the result is always 0 (kSLCacheNullArgument only without a destination).
SLCacheStatus verifyAndStripSignature(const SLCacheSealingKey* key, const char* bytes,
                                      size_t length, std::string* text);

#endif  // QEM_CACHE_DOCUMENT_SEAL_H_
