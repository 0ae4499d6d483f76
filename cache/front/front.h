// The cache front: keys with text values, grouped by sub-domain, one cache document per
// sub-domain. Documents are loaded from the store the first time they are needed and kept in
// memory; reads and changes work on the cached document, and syncToFile carries every change to
// the store, merging it into the stored version under the file's exclusive lock, and then
// empties the cache.
//
// Not safe for concurrent calls: the caller serialises them. Between processes, the store's
// file locks are the only coordination.
#ifndef QEM_CACHE_FRONT_FRONT_H_
#define QEM_CACHE_FRONT_FRONT_H_

#include <map>
#include <memory>
#include <string>

#include "cache/document/document.h"
#include "cache/document/status.h"
#include "cache/store/store.h"

class SLCache {
 public:
  SLCache();
  virtual ~SLCache();
  SLCache(const SLCache&) = delete;
  SLCache& operator=(const SLCache&) = delete;

  SLCacheStatus setKey(const char* subDomain, const char* key, const char* value);
  // `*outValue` points into the cached document: valid until it changes or the cache is
  // synchronised or destroyed.
  SLCacheStatus getKey(const char* subDomain, const char* key, const char** outValue);
  // A null-terminated array of allocated key ids; free it with SLCacheFreeStringArray.
  SLCacheStatus getKeyList(const char* subDomain, char*** OutKeyList);
  // Every sub-domain of the store and the cache, in byte-wise order, without the meta and seal
  // node ids and without sub-domains whose cached document is removed.
  SLCacheStatus getSubDomains(char*** outSubDomainStrList);
  SLCacheStatus removeSubDomain(const char* subDomain);
  SLCacheStatus removeKey(const char* subDomain, const char* key);
  // Writes every changed document and empties the cache: 0, or 10 when any document failed.
  SLCacheStatus syncToFile();

  SLCacheStatus getDocument(const char* subDomain, SLCacheDoc** document);
  SLCacheStatus loadDocument(const char* subDomain, SLCacheDoc** document);
  SLCacheStatus createDocument(const char* subDomain, std::unique_ptr<SLCacheDoc>* document);

  SLCache* selfMarker = nullptr;  // the object's own address while it is usable
  void* owner = nullptr;          // stored, never used
  std::map<std::string, std::unique_ptr<SLCacheDoc>> documents;
  SLCacheStore store;

 private:
  SLCacheStatus syncDocument(SLCacheDoc* document);
  SLCacheStatus recheckCorrupted(const char* subDomain, const std::string& fileName,
                                 SLCacheDoc** document);
};

// The flat entry points. Every function except SLCacheCreate answers 4 for an absent front, one
// that was destroyed, or one whose creation failed; no exception leaves them.
extern "C" {
// Makes a front and stores it through `result` (null and 7 when memory is short), then prepares
// its store; the front is usable only when that returned 0, which is the result. A front whose
// preparation failed is only freed again by SLCacheDestroy (which then answers 4).
SLCacheStatus SLCacheCreate(void* owner, SLCache** result);
// Synchronises first when `synchronise` is non-zero; returns that result, or 0.
SLCacheStatus SLCacheDestroy(SLCache* cache, int synchronise);
SLCacheStatus SLCacheSync(SLCache* cache);
// Stores whether the store's folder exists and is writable; returns the store's code.
SLCacheStatus SLCacheCheckStore(SLCache* cache, bool* isValid);
SLCacheStatus SLCacheSetKey(SLCache* cache, const char* subDomain, const char* key,
                            const char* value);
SLCacheStatus SLCacheGetKey(SLCache* cache, const char* subDomain, const char* key,
                            const char** outValue);
SLCacheStatus SLCacheGetKeyList(SLCache* cache, const char* subDomain, char*** outKeyList);
SLCacheStatus SLCacheGetSubDomains(SLCache* cache, char*** outSubDomains);
// Frees each text of the array and the array, and sets `*array` to null.
SLCacheStatus SLCacheFreeStringArray(SLCache* cache, char*** array);
SLCacheStatus SLCacheRemoveSubDomain(SLCache* cache, const char* subDomain);
SLCacheStatus SLCacheRemoveKey(SLCache* cache, const char* subDomain, const char* key);
}

#endif  // QEM_CACHE_FRONT_FRONT_H_
