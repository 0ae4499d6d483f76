// The configuration database service: one object per process that reads, writes, removes and
// lists text values by hive and key in the master store (payload configuration files) or the
// cache store (the document cache).
#ifndef QEM_PCD_SERVICE_PCD_SERVICE_H_
#define QEM_PCD_SERVICE_PCD_SERVICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "services/core/ref_object.h"

struct PCF;
class SLCache;
class _QemLoggingService;

// The store an operation is aimed at.
enum PCDStore : uint8_t {
  PCDStoreMaster = 0,
  PCDStoreCache = 1,
};

// Result codes of the service.
enum PCDServiceStatus : int32_t {
  kPCDOk = 0,
  kPCDMasterMissing = 2,       // CheckSubDomainInMaster without a master
  kPCDMasterUnreadable = 3,    // master codes 5, 6, 7
  kPCDNotWritable = 5,         // master code 12; the cache store is not usable
  kPCDBadArgument = 6,         // master 4; cache 4, 5, 6; an unknown selector
  kPCDNoValue = 7,             // master 8, 9, 10; cache 519; empty master value; default flag
  kPCDNoCode = 9,              // master 11
  kPCDNoMemory = 14,           // master 2, 3; cache 2, 3, 7, 784
  kPCDStoreUnavailable = 15,   // master 1; cache 1; a store that cannot be opened
  kPCDSyncFailed = 17,         // cache 10
  kPCDCacheStoreFailure = 18,  // the store failures of the cache (768 to 795 with gaps)
  kPCDFailure = -16,           // every other store code
};

// Store codes to service codes.
PCDServiceStatus PCDTranslateMasterCode(int32_t code);
PCDServiceStatus PCDTranslateCacheCode(int32_t code);

// The qualifier of a composite key or hive name. Distinct types keep apart the parameter forms
// that take a composite key from those that take a composite hive.
struct PCDKeyQualifier {
  std::string text;
};
struct PCDHiveQualifier {
  std::string text;
};

// base + "{|}" + qualifier, or the base alone when the qualifier is empty.
std::string PCDCompositeName(const std::string& base, const std::string& qualifier);

class _QemPCDService : public _QemService {
 public:
  uint32_t TypeCode() const override { return kQemTypePCDService; }

  // The service's own operations; their order is the binding slot order.
  virtual int32_t CheckMasterExists();
  virtual int32_t CheckMasterWritable();
  virtual int32_t CheckCacheWritable();
  virtual int32_t OpenStore(PCDStore store);
  virtual int32_t GetValueForKeyInSubDomain(std::string& value, const std::string& key,
                                            const std::string& hive, int32_t maxLength,
                                            PCDStore store);
  virtual int32_t GetValueForKeyInSubDomain(std::string& value, const std::string& keyBase,
                                            const PCDKeyQualifier& keyQualifier,
                                            const std::string& hive, int32_t maxLength,
                                            PCDStore store);
  virtual int32_t GetValueForKeyInSubDomain(std::string& value, const std::string& key,
                                            const std::string& hiveBase,
                                            const PCDHiveQualifier& hiveQualifier, int32_t maxLength,
                                            PCDStore store);
  virtual int32_t GetValueForKeyInSubDomain(std::string& value, const std::string& keyBase,
                                            const PCDKeyQualifier& keyQualifier,
                                            const std::string& hiveBase,
                                            const PCDHiveQualifier& hiveQualifier, int32_t maxLength,
                                            PCDStore store);
  virtual int32_t SetValueForKeyInSubDomain(const std::string& value, const std::string& key,
                                            const std::string& hive, PCDStore store);
  virtual int32_t SetValueForKeyInSubDomain(const std::string& value, const std::string& key,
                                            const std::string& hiveBase,
                                            const PCDHiveQualifier& hiveQualifier, PCDStore store);
  virtual int32_t SetValueForKeyInSubDomain(const std::string& value, const std::string& keyBase,
                                            const PCDKeyQualifier& keyQualifier,
                                            const std::string& hive, PCDStore store);
  virtual int32_t SetValueForKeyInSubDomain(const std::string& value, const std::string& keyBase,
                                            const PCDKeyQualifier& keyQualifier,
                                            const std::string& hiveBase,
                                            const PCDHiveQualifier& hiveQualifier, PCDStore store);
  virtual int32_t RemoveKeyInSubDomain(const std::string& key, const std::string& hive,
                                       PCDStore store);
  virtual int32_t RemoveKeyInSubDomain(const std::string& keyBase,
                                       const PCDKeyQualifier& keyQualifier, const std::string& hive,
                                       PCDStore store);
  virtual int32_t RemoveKeyInSubDomain(const std::string& key, const std::string& hiveBase,
                                       const PCDHiveQualifier& hiveQualifier, PCDStore store);
  virtual int32_t RemoveKeyInSubDomain(const std::string& keyBase,
                                       const PCDKeyQualifier& keyQualifier,
                                       const std::string& hiveBase,
                                       const PCDHiveQualifier& hiveQualifier, PCDStore store);
  virtual int32_t RemoveAllKeysInSubDomain(const std::string& hive, PCDStore store);
  virtual int32_t GetKeysInSubDomain(std::vector<std::string>& keys, const std::string& hive,
                                     PCDStore store);
  virtual int32_t GetKeysInSubDomain(std::vector<std::string>& keys,
                                     const std::string& hiveBase,
                                     const PCDHiveQualifier& hiveQualifier, PCDStore store);
  virtual int32_t GetSubDomains(std::vector<std::string>& hives, PCDStore store);
  virtual int32_t CheckSubDomainInMaster(const std::string& hive);

  // For tests and diagnostics.
  const std::string& MasterName() const { return masterName; }
  const std::string& LoadedMasterNames() const { return loadedMasterNames; }
  bool HasMasterStore() const { return masterStore != nullptr; }
  bool HasCacheStore() const { return cacheStore != nullptr; }

 protected:
  ~_QemPCDService() override;

 private:
  friend _QemPCDService* GetPCDService(const char* masterConfiguration);
  explicit _QemPCDService(const char* masterConfiguration);

  PCF* OpenMaster();
  SLCache* OpenCache();
  bool IsMasterNameLoaded() const;
  void Log(int32_t level, const char* publicFormat, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  int32_t MasterGetValue(PCF* master, std::string& value, const std::string& key,
                         const std::string& hive, int32_t maxLength);
  int32_t CacheGetValue(SLCache* cache, std::string& value, const std::string& key,
                        const std::string& hive);
  int32_t MasterSetValue(PCF* master, const std::string& value, const std::string& key,
                         const std::string& hive);
  int32_t CacheSetValue(SLCache* cache, const std::string& value, const std::string& key,
                        const std::string& hive);
  int32_t CacheList(int32_t status, char** array, std::vector<std::string>& out);

  _QemLoggingService* loggingService = nullptr;
  SLCache* cacheStore = nullptr;
  PCF* masterStore = nullptr;
  std::string masterName;
  std::string loadedMasterNames;
  QemLock storeLock;
};

// The process-wide instance, made on the first call, with one reference for the caller; a name
// given to a later call replaces the master configuration to load at the next opening.
_QemPCDService* GetPCDService(const char* masterConfiguration);

// Test-only: the next GetPCDService or store opening of the service throws std::bad_alloc, as if
// memory ran short there, so that tests can reach the exception barriers of the callers. Fires
// once. Nothing outside tests calls it.
void PCDServiceFailNextCallForTesting();

#endif  // QEM_PCD_SERVICE_PCD_SERVICE_H_
