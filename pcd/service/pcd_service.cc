#include "pcd/service/pcd_service.h"

#include <cstdarg>
#include <memory>
#include <new>

#include "cache/front/front.h"
#include "pcf/pcf.h"
#include "services/core/errno_service.h"
#include "services/logging/logging_service.h"

namespace {

constexpr char kComponent[] = "PCDService";
constexpr char kCompositeSeparator[] = "{|}";
constexpr char kMasterWord[] = "master";
constexpr char kCacheWord[] = "cache";

// Errno values set when the master cannot be opened.
enum PCDMasterErrno : int32_t {
  kErrnoMasterMissing = 3,
  kErrnoMasterUnopenable = 4,
};

_QemPCDService* g_instance = nullptr;

// Armed by PCDServiceFailNextCallForTesting only.
bool g_failNextCall = false;

void FailIfArmed() {
  if (!g_failNextCall) return;
  g_failNextCall = false;
  throw std::bad_alloc();
}

bool IsKnownStore(PCDStore store) { return store == PCDStoreMaster || store == PCDStoreCache; }

// Holds storeLock for the life of a cache path.
class StoreLockHolder {
 public:
  explicit StoreLockHolder(QemLock& lock) : lock_(lock) { lock_.Lock(); }
  ~StoreLockHolder() { lock_.Unlock(); }
  StoreLockHolder(const StoreLockHolder&) = delete;
  StoreLockHolder& operator=(const StoreLockHolder&) = delete;

 private:
  QemLock& lock_;
};

struct PCFStringListDeleter {
  void operator()(PCFStringList* list) const { PCFStringListDestroy(list); }
};
using PCFStringListPtr = std::unique_ptr<PCFStringList, PCFStringListDeleter>;

}  // namespace

PCDServiceStatus PCDTranslateMasterCode(int32_t code) {
  switch (code) {
    case 0: return kPCDOk;
    case 1: return kPCDStoreUnavailable;
    case 2: case 3: return kPCDNoMemory;
    case 4: return kPCDBadArgument;
    case 5: case 6: case 7: return kPCDMasterUnreadable;
    case 8: case 9: case 10: return kPCDNoValue;
    case 11: return kPCDNoCode;
    case 12: return kPCDNotWritable;
    default: return kPCDFailure;
  }
}

PCDServiceStatus PCDTranslateCacheCode(int32_t code) {
  switch (code) {
    case 0: return kPCDOk;
    case 1: return kPCDStoreUnavailable;
    case 2: case 3: case 7: case 784: return kPCDNoMemory;
    case 4: case 5: case 6: return kPCDBadArgument;
    case 10: return kPCDSyncFailed;
    case 519: return kPCDNoValue;
    default: break;
  }
  // The store failures, with the gaps at 772, 789 and 793.
  if (code >= 768 && code <= 795 && code != 772 && code != 789 && code != 793) {
    return kPCDCacheStoreFailure;
  }
  return kPCDFailure;
}

std::string PCDCompositeName(const std::string& base, const std::string& qualifier) {
  return qualifier.empty() ? base : base + kCompositeSeparator + qualifier;
}

_QemPCDService::_QemPCDService(const char* masterConfiguration)
    : loggingService(GetLoggingService(nullptr)),
      masterName(masterConfiguration ? masterConfiguration : "") {}

_QemPCDService::~_QemPCDService() {
  if (g_instance == this) g_instance = nullptr;
  {
    StoreLockHolder hold(storeLock);
    if (masterStore != nullptr) PCFDestroy(masterStore, 0);
    masterStore = nullptr;
    if (cacheStore != nullptr) SLCacheDestroy(cacheStore, 1);
    cacheStore = nullptr;
  }
  if (loggingService != nullptr) loggingService->Release();
}

void PCDServiceFailNextCallForTesting() { g_failNextCall = true; }

_QemPCDService* GetPCDService(const char* masterConfiguration) {
  FailIfArmed();
  if (g_instance != nullptr) {
    g_instance->Retain();
    if (masterConfiguration != nullptr) g_instance->masterName = masterConfiguration;
    return g_instance;
  }
  auto* service = new (std::nothrow) _QemPCDService(masterConfiguration);
  if (service == nullptr) return nullptr;
  g_instance = service;
  service->Log(kQemLogInformational, nullptr, "PCD Service in non-threaded mode");
  return service;
}

void _QemPCDService::Log(int32_t level, const char* publicFormat, const char* format, ...) {
  if (loggingService == nullptr) return;
  va_list args;
  va_start(args, format);
  loggingService->LogV(kComponent, level, publicFormat, format, args);
  va_end(args);
}

bool _QemPCDService::IsMasterNameLoaded() const {
  // Whole entries only: "a.xml" is not loaded because "data.xml" is.
  size_t start = 0;
  while (start < loadedMasterNames.size()) {
    size_t end = loadedMasterNames.find(',', start);
    if (end == std::string::npos) end = loadedMasterNames.size();
    if (loadedMasterNames.compare(start, end - start, masterName) == 0) return true;
    start = end + 1;
  }
  return false;
}

PCF* _QemPCDService::OpenMaster() {
  FailIfArmed();
  if (masterStore != nullptr) {
    if (!masterName.empty() && !IsMasterNameLoaded() &&
        PCFLoad(masterStore, masterName.c_str(), 0) == PCFSuccess) {
      loadedMasterNames += masterName + ",";
    }
    return masterStore;
  }
  PCF* created = nullptr;
  int32_t code = PCFCreate(&created);
  if (code == PCFSuccess) {
    if (masterName.empty() || IsMasterNameLoaded()) {
      masterStore = created;
      return masterStore;
    }
    code = PCFLoad(created, masterName.c_str(), 0);
    if (code == PCFSuccess) {
      loadedMasterNames += masterName + ",";
      masterStore = created;
      return masterStore;
    }
    // Only a loaded configuration becomes the master store.
    PCFDestroy(created, 0);
  }
  const int32_t errnoValue = code == PCFNotFound ? kErrnoMasterMissing : kErrnoMasterUnopenable;
  if (_QemErrnoService* errnoService = GetErrnoService()) {
    errnoService->SetError(errnoValue);
    errnoService->Release();
  }
  if (code == PCFNotFound) {
    Log(kQemLogError, "%d", "Master PCD doesn't exist. (Errno = %d)", errnoValue);
  } else {
    Log(kQemLogError, "%d", "Failed to open Master PCD. (Errno = %d)", errnoValue);
  }
  return nullptr;
}

SLCache* _QemPCDService::OpenCache() {
  FailIfArmed();
  if (cacheStore != nullptr) return cacheStore;
  SLCache* created = nullptr;
  const int32_t code = SLCacheCreate(nullptr, &created);
  if (code == kSLCacheOk) {
    cacheStore = created;
    return cacheStore;
  }
  // A front that could not be prepared is never usable; free it rather than keep it.
  if (created != nullptr) SLCacheDestroy(created, 0);
  Log(kQemLogError, "%d", "Failed to open SLCache PCD: %d", code);
  return nullptr;
}

int32_t _QemPCDService::CheckMasterExists() {
  return OpenMaster() != nullptr ? kPCDOk : kPCDStoreUnavailable;
}

int32_t _QemPCDService::CheckMasterWritable() {
  if (OpenMaster() == nullptr) return kPCDOk;
  const int32_t written =
      SetValueForKeyInSubDomain("__PCD_TV", "__PCD_TK", "__PCD_SD", PCDStoreMaster);
  if (written != kPCDOk) return written;
  return RemoveKeyInSubDomain("__PCD_TK", "__PCD_SD", PCDStoreMaster);
}

int32_t _QemPCDService::CheckCacheWritable() {
  SLCache* cache = OpenCache();
  if (cache == nullptr) return kPCDOk;
  StoreLockHolder hold(storeLock);
  bool usable = false;
  SLCacheCheckStore(cache, &usable);
  return usable ? kPCDOk : kPCDNotWritable;
}

int32_t _QemPCDService::OpenStore(PCDStore store) {
  switch (store) {
    case PCDStoreMaster: return OpenMaster() != nullptr ? kPCDOk : kPCDStoreUnavailable;
    case PCDStoreCache: return OpenCache() != nullptr ? kPCDOk : kPCDStoreUnavailable;
  }
  return kPCDBadArgument;
}

// --- Reads ---

int32_t _QemPCDService::MasterGetValue(PCF* master, std::string& value, const std::string& key,
                                       const std::string& hive, int32_t maxLength) {
  const size_t size = maxLength > 0 ? static_cast<size_t>(maxLength) : 0;
  std::vector<char> buffer(size + 1, '\0');
  int32_t code = PCFGetValueForKeyInSubDomain(master, buffer.data(), size, key.c_str(),
                                              hive.c_str());
  if (code == PCFSuccess) {
    value = buffer.data();
    if (value.empty()) code = PCFNoKey;
  }
  if (code == PCFNoKey) {
    Log(kQemLogDebug, nullptr, "No value for key [%s] in hive [%s] in %s : %d", key.c_str(),
        hive.c_str(), kMasterWord, code);
  } else if (code != PCFSuccess) {
    Log(kQemLogDebug, nullptr, "Failed to read value for key [%s] in hive [%s] from %s : %d",
        key.c_str(), hive.c_str(), kMasterWord, code);
  }
  return PCDTranslateMasterCode(code);
}

int32_t _QemPCDService::CacheGetValue(SLCache* cache, std::string& value, const std::string& key,
                                      const std::string& hive) {
  StoreLockHolder hold(storeLock);
  const char* text = nullptr;
  const int32_t code = SLCacheGetKey(cache, hive.c_str(), key.c_str(), &text);
  if (code == kSLCacheOk) {
    value = text ? text : "";
  } else if (code == kSLCacheNotFound) {
    Log(kQemLogDebug, nullptr, "No value for key [%s] in hive [%s] in %s : %d", key.c_str(),
        hive.c_str(), kCacheWord, code);
  } else {
    Log(kQemLogDebug, nullptr, "Failed to read value for key [%s] in hive [%s] from %s : %d",
        key.c_str(), hive.c_str(), kCacheWord, code);
  }
  return PCDTranslateCacheCode(code);
}

int32_t _QemPCDService::GetValueForKeyInSubDomain(std::string& value, const std::string& key,
                                                  const std::string& hive, int32_t maxLength,
                                                  PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    if (PCF* master = OpenMaster()) return MasterGetValue(master, value, key, hive, maxLength);
  }
  return CacheGetValue(OpenCache(), value, key, hive);
}

int32_t _QemPCDService::GetValueForKeyInSubDomain(std::string& value, const std::string& keyBase,
                                                  const PCDKeyQualifier& keyQualifier,
                                                  const std::string& hive, int32_t maxLength,
                                                  PCDStore store) {
  return GetValueForKeyInSubDomain(value, PCDCompositeName(keyBase, keyQualifier.text), hive,
                                   maxLength, store);
}

int32_t _QemPCDService::GetValueForKeyInSubDomain(std::string& value, const std::string& key,
                                                  const std::string& hiveBase,
                                                  const PCDHiveQualifier& hiveQualifier,
                                                  int32_t maxLength, PCDStore store) {
  return GetValueForKeyInSubDomain(value, key, PCDCompositeName(hiveBase, hiveQualifier.text),
                                   maxLength, store);
}

int32_t _QemPCDService::GetValueForKeyInSubDomain(std::string& value, const std::string& keyBase,
                                                  const PCDKeyQualifier& keyQualifier,
                                                  const std::string& hiveBase,
                                                  const PCDHiveQualifier& hiveQualifier,
                                                  int32_t maxLength, PCDStore store) {
  return GetValueForKeyInSubDomain(value, PCDCompositeName(keyBase, keyQualifier.text),
                                   PCDCompositeName(hiveBase, hiveQualifier.text), maxLength,
                                   store);
}

// --- Writes ---

int32_t _QemPCDService::MasterSetValue(PCF* master, const std::string& value,
                                       const std::string& key, const std::string& hive) {
  int32_t code =
      PCFSetValueForKeyInSubDomain(master, value.c_str(), key.c_str(), hive.c_str());
  if (code == PCFSuccess) {
    code = PCFSave(master);
    if (code != PCFSuccess) {
      Log(kQemLogDebug, nullptr, "Failed to commit PCF in SetValueForKeyInSubDomain");
    }
  } else if (code == 1) {
    Log(kQemLogDebug, nullptr, "Failed to set value %s for key [%s] in hive [%s]: %d",
        value.c_str(), key.c_str(), hive.c_str(), code);
  } else {
    Log(kQemLogDebug, nullptr, "Failed to set value %s for key [%s] in hive [%s] in %s : %d",
        value.c_str(), key.c_str(), hive.c_str(), kMasterWord, code);
  }
  return PCDTranslateMasterCode(code);
}

int32_t _QemPCDService::CacheSetValue(SLCache* cache, const std::string& value,
                                      const std::string& key, const std::string& hive) {
  StoreLockHolder hold(storeLock);
  int32_t code = SLCacheSetKey(cache, hive.c_str(), key.c_str(), value.c_str());
  if (code == kSLCacheOk) {
    code = SLCacheSync(cache);
    if (code == kSLCacheSyncFailed) {
      Log(kQemLogDebug, nullptr, "Failed to set value %s for key [%s] in hive [%s]: %d",
          value.c_str(), key.c_str(), hive.c_str(), code);
    }
  } else if (code == kSLCacheNoElement) {
    Log(kQemLogDebug, nullptr, "Failed to set value %s for key [%s] in hive [%s]: %d",
        value.c_str(), key.c_str(), hive.c_str(), code);
  } else {
    Log(kQemLogDebug, nullptr, "Failed to set value %s for key [%s] in hive [%s] in %s : %d",
        value.c_str(), key.c_str(), hive.c_str(), kCacheWord, code);
  }
  return PCDTranslateCacheCode(code);
}

int32_t _QemPCDService::SetValueForKeyInSubDomain(const std::string& value,
                                                  const std::string& key,
                                                  const std::string& hive, PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    if (PCF* master = OpenMaster()) return MasterSetValue(master, value, key, hive);
  }
  return CacheSetValue(OpenCache(), value, key, hive);
}

int32_t _QemPCDService::SetValueForKeyInSubDomain(const std::string& value,
                                                  const std::string& key,
                                                  const std::string& hiveBase,
                                                  const PCDHiveQualifier& hiveQualifier,
                                                  PCDStore store) {
  return SetValueForKeyInSubDomain(value, key, PCDCompositeName(hiveBase, hiveQualifier.text),
                                   store);
}

int32_t _QemPCDService::SetValueForKeyInSubDomain(const std::string& value,
                                                  const std::string& keyBase,
                                                  const PCDKeyQualifier& keyQualifier,
                                                  const std::string& hive, PCDStore store) {
  return SetValueForKeyInSubDomain(value, PCDCompositeName(keyBase, keyQualifier.text), hive,
                                   store);
}

int32_t _QemPCDService::SetValueForKeyInSubDomain(const std::string& value,
                                                  const std::string& keyBase,
                                                  const PCDKeyQualifier& keyQualifier,
                                                  const std::string& hiveBase,
                                                  const PCDHiveQualifier& hiveQualifier,
                                                  PCDStore store) {
  return SetValueForKeyInSubDomain(value, PCDCompositeName(keyBase, keyQualifier.text),
                                   PCDCompositeName(hiveBase, hiveQualifier.text), store);
}

// --- Removals ---

int32_t _QemPCDService::RemoveKeyInSubDomain(const std::string& key, const std::string& hive,
                                             PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    // No fall-back: without a master the entry point answers 4 for the missing object.
    PCF* master = OpenMaster();
    int32_t code = PCFRemoveKeyInSubDomain(master, key.c_str(), hive.c_str());
    if (code == PCFSuccess) {
      // The key is gone from memory only; a failed commit is answered, not hidden.
      code = PCFSave(master);
      if (code != PCFSuccess) {
        Log(kQemLogWarning, nullptr, "Failed to commit PCF in RemoveKeyInSubDomain");
      }
    } else if (code == 1) {
      Log(kQemLogWarning, nullptr, "Failed to remove key [%s] in hive [%s]: %d", key.c_str(),
          hive.c_str(), code);
    } else {
      Log(kQemLogWarning, nullptr, "Failed to remove key [%s] in hive [%s] from %s : %d",
          key.c_str(), hive.c_str(), kMasterWord, code);
    }
    return PCDTranslateMasterCode(code);
  }
  SLCache* cache = OpenCache();
  StoreLockHolder hold(storeLock);
  int32_t code = SLCacheRemoveKey(cache, hive.c_str(), key.c_str());
  if (code == kSLCacheOk) {
    code = SLCacheSync(cache);
    if (code == kSLCacheSyncFailed) {
      Log(kQemLogWarning, nullptr, "Failed to remove key [%s] in hive [%s]: %d", key.c_str(),
          hive.c_str(), code);
    }
  } else if (code == kSLCacheNoElement) {
    Log(kQemLogWarning, nullptr, "Failed to remove key [%s] in hive [%s]: %d", key.c_str(),
        hive.c_str(), code);
  } else {
    Log(kQemLogWarning, nullptr, "Failed to remove key [%s] in hive [%s]from %s : %d",
        key.c_str(), hive.c_str(), kCacheWord, code);
  }
  return PCDTranslateCacheCode(code);
}

int32_t _QemPCDService::RemoveKeyInSubDomain(const std::string& keyBase,
                                             const PCDKeyQualifier& keyQualifier,
                                             const std::string& hive, PCDStore store) {
  return RemoveKeyInSubDomain(PCDCompositeName(keyBase, keyQualifier.text), hive, store);
}

int32_t _QemPCDService::RemoveKeyInSubDomain(const std::string& key,
                                             const std::string& hiveBase,
                                             const PCDHiveQualifier& hiveQualifier,
                                             PCDStore store) {
  return RemoveKeyInSubDomain(key, PCDCompositeName(hiveBase, hiveQualifier.text), store);
}

int32_t _QemPCDService::RemoveKeyInSubDomain(const std::string& keyBase,
                                             const PCDKeyQualifier& keyQualifier,
                                             const std::string& hiveBase,
                                             const PCDHiveQualifier& hiveQualifier,
                                             PCDStore store) {
  return RemoveKeyInSubDomain(PCDCompositeName(keyBase, keyQualifier.text),
                              PCDCompositeName(hiveBase, hiveQualifier.text), store);
}

int32_t _QemPCDService::RemoveAllKeysInSubDomain(const std::string& hive, PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    PCF* master = OpenMaster();
    int32_t code = PCFRemoveAllKeysInSubDomain(master, hive.c_str());
    if (code == PCFSuccess) {
      // As for a single key: the hive is gone from memory only, so the commit's code counts.
      code = PCFSave(master);
      if (code != PCFSuccess) {
        Log(kQemLogWarning, nullptr, "Failed to commit PCF during RemoveAllKeysInSubDomain");
      }
    } else {
      Log(kQemLogWarning, nullptr, "Failed to remove all keys in hive [%s] : %d", hive.c_str(),
          code);
    }
    return PCDTranslateMasterCode(code);
  }
  SLCache* cache = OpenCache();
  StoreLockHolder hold(storeLock);
  int32_t code = SLCacheRemoveSubDomain(cache, hive.c_str());
  if (code != kSLCacheOk) {
    Log(kQemLogWarning, nullptr, "Failed to remove all keys in hive [%s] : %d", hive.c_str(),
        code);
  } else {
    code = SLCacheSync(cache);
    if (code == kSLCacheSyncFailed) {
      Log(kQemLogWarning, nullptr, "Failed to remove all keys in hive [%s]: %d", hive.c_str(),
          code);
    }
  }
  return PCDTranslateCacheCode(code);
}

// --- Listings ---

namespace {

int32_t CopyMasterList(int32_t code, PCFStringList* list, std::vector<std::string>& out) {
  if (code != PCFSuccess) return PCDTranslateMasterCode(code);
  std::vector<std::string> names;
  const size_t count = PCFStringListCount(list);
  names.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const char* item = PCFStringListItem(list, i);
    names.emplace_back(item ? item : "");
  }
  out.swap(names);
  return kPCDOk;
}

}  // namespace

// Appends a zero-terminated array from the cache and releases it; runs under storeLock.
int32_t _QemPCDService::CacheList(int32_t status, char** array, std::vector<std::string>& out) {
  if (status == kSLCacheOk && array != nullptr) {
    for (char** item = array; *item != nullptr; ++item) out.emplace_back(*item);
  }
  if (array != nullptr) SLCacheFreeStringArray(cacheStore, &array);
  return PCDTranslateCacheCode(status);
}

int32_t _QemPCDService::GetKeysInSubDomain(std::vector<std::string>& keys,
                                           const std::string& hive, PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    if (PCF* master = OpenMaster()) {
      PCFStringList* raw = nullptr;
      const int32_t created = PCFStringListCreate(&raw);
      PCFStringListPtr list(raw);
      if (created != PCFSuccess) return PCDTranslateMasterCode(created);
      return CopyMasterList(PCFGetKeysInSubDomain(master, list.get(), hive.c_str()), list.get(),
                            keys);
    }
  }
  SLCache* cache = OpenCache();
  StoreLockHolder hold(storeLock);
  char** array = nullptr;
  const int32_t code = SLCacheGetKeyList(cache, hive.c_str(), &array);
  return CacheList(code, array, keys);
}

int32_t _QemPCDService::GetKeysInSubDomain(std::vector<std::string>& keys,
                                           const std::string& hiveBase,
                                           const PCDHiveQualifier& hiveQualifier,
                                           PCDStore store) {
  return GetKeysInSubDomain(keys, PCDCompositeName(hiveBase, hiveQualifier.text), store);
}

int32_t _QemPCDService::GetSubDomains(std::vector<std::string>& hives, PCDStore store) {
  if (!IsKnownStore(store)) return kPCDBadArgument;
  if (store == PCDStoreMaster) {
    if (PCF* master = OpenMaster()) {
      PCFStringList* raw = nullptr;
      const int32_t created = PCFStringListCreate(&raw);
      PCFStringListPtr list(raw);
      if (created != PCFSuccess) return PCDTranslateMasterCode(created);
      return CopyMasterList(PCFGetSubDomains(master, list.get()), list.get(), hives);
    }
  }
  SLCache* cache = OpenCache();
  StoreLockHolder hold(storeLock);
  char** array = nullptr;
  const int32_t code = SLCacheGetSubDomains(cache, &array);
  return CacheList(code, array, hives);
}

int32_t _QemPCDService::CheckSubDomainInMaster(const std::string& hive) {
  if (OpenMaster() == nullptr) return kPCDMasterMissing;
  std::vector<std::string> keys;
  const int32_t listed = GetKeysInSubDomain(keys, hive, PCDStoreMaster);
  if (listed != kPCDOk) {
    Log(kQemLogDebug, nullptr, "No hive [%s] in master", hive.c_str());
    return listed;
  }
  PCF* master = OpenMaster();
  if (master != nullptr && PCFIsFlagSet(master) == PCFSuccess) {
    Log(kQemLogDebug, nullptr, "No hive [%s] in master", hive.c_str());
    return kPCDNoValue;
  }
  return kPCDOk;
}
