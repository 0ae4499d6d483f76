// The front's flat entry points. A caller may hand in a front it has already destroyed, so the
// liveness test never reads the object itself before the process-wide registry of fronts says
// that it still exists.
#include <map>
#include <mutex>
#include <new>

#include "cache/front/front.h"
#include "cache/document/document.h"

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Every front made by SLCacheCreate and not yet destroyed, and whether it is usable.
std::map<const SLCache*, bool>& Registry() {
  static std::map<const SLCache*, bool> fronts;
  return fronts;
}

bool IsLive(const SLCache* cache) {
  if (cache == nullptr) return false;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto found = Registry().find(cache);
  return found != Registry().end() && found->second && cache->selfMarker == cache;
}

template <class Operation>
SLCacheStatus Guarded(Operation&& operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return kSLCacheOutOfMemory;
  } catch (...) {
    return kSLCacheFailure;
  }
}

}  // namespace

extern "C" {

SLCacheStatus SLCacheCreate(void* owner, SLCache** result) {
  if (result == nullptr) return kSLCacheNullArgument;
  return Guarded([&]() -> SLCacheStatus {
    SLCache* cache = new (std::nothrow) SLCache();
    *result = cache;
    if (cache == nullptr) return kSLCacheOutOfMemory;
    {
      std::lock_guard<std::mutex> lock(RegistryMutex());
      Registry()[cache] = false;
    }
    const SLCacheStatus prepared = cache->store.prepare();
    if (prepared == kSLCacheOk) {
      cache->owner = owner;
      cache->selfMarker = cache;
      std::lock_guard<std::mutex> lock(RegistryMutex());
      Registry()[cache] = true;
    }
    return prepared;
  });
}

SLCacheStatus SLCacheDestroy(SLCache* cache, int synchronise) {
  if (cache == nullptr) return kSLCacheBadArgument;
  bool known = false;
  bool live = false;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto found = Registry().find(cache);
    known = found != Registry().end();
    live = known && found->second && cache->selfMarker == cache;
  }
  if (!known) return kSLCacheBadArgument;
  SLCacheStatus result = kSLCacheOk;
  if (live && synchronise != 0) result = Guarded([&] { return cache->syncToFile(); });
  cache->selfMarker = nullptr;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().erase(cache);
  }
  delete cache;
  // A front whose preparation failed is freed all the same, but it was never usable.
  return live ? result : kSLCacheBadArgument;
}

SLCacheStatus SLCacheSync(SLCache* cache) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->syncToFile(); });
}

SLCacheStatus SLCacheCheckStore(SLCache* cache, bool* isValid) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  if (isValid == nullptr) return kSLCacheNullArgument;
  return Guarded([&] {
    const SLCacheStatus result = cache->store.checkCacheStore();
    *isValid = result == kSLCacheOk;
    return result;
  });
}

SLCacheStatus SLCacheSetKey(SLCache* cache, const char* subDomain, const char* key,
                            const char* value) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->setKey(subDomain, key, value); });
}

SLCacheStatus SLCacheGetKey(SLCache* cache, const char* subDomain, const char* key,
                            const char** outValue) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->getKey(subDomain, key, outValue); });
}

SLCacheStatus SLCacheGetKeyList(SLCache* cache, const char* subDomain, char*** outKeyList) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->getKeyList(subDomain, outKeyList); });
}

SLCacheStatus SLCacheGetSubDomains(SLCache* cache, char*** outSubDomains) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->getSubDomains(outSubDomains); });
}

SLCacheStatus SLCacheFreeStringArray(SLCache* cache, char*** array) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  if (array == nullptr) return kSLCacheNoArrayPointer;
  if (*array == nullptr) return kSLCacheBadArgument;
  SLCacheFreeStringList(*array);
  *array = nullptr;
  return kSLCacheOk;
}

SLCacheStatus SLCacheRemoveSubDomain(SLCache* cache, const char* subDomain) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->removeSubDomain(subDomain); });
}

SLCacheStatus SLCacheRemoveKey(SLCache* cache, const char* subDomain, const char* key) {
  if (!IsLive(cache)) return kSLCacheBadArgument;
  return Guarded([&] { return cache->removeKey(subDomain, key); });
}

}  // extern "C"
