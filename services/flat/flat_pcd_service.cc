// Flat functions of the configuration database service.
#include <cstring>
#include <string>
#include <vector>

#include "services/flat/qem_flat.h"

namespace {

PCDStore StoreOf(int32_t store) { return store != 0 ? PCDStoreCache : PCDStoreMaster; }

template <class Work>
int32_t Barrier(Work&& work) {
  try {
    return work();
  } catch (...) {
    return kQemFlatException;
  }
}

}  // namespace

extern "C" {

_QemPCDService* QemPCDServiceCreate(const char* masterConfiguration) {
  try {
    return GetPCDService(masterConfiguration);
  } catch (...) {
    return nullptr;
  }
}

int32_t QemPCDServiceGetValueForKeyInSubDomain(_QemPCDService* service, char* buffer,
                                               int32_t size, const char* key,
                                               const char* subDomain, int32_t store) {
  return Barrier([&]() -> int32_t {
    if (service == nullptr || buffer == nullptr || key == nullptr || subDomain == nullptr) {
      return kQemFlatMissingArgument;
    }
    std::string value;
    const int32_t code =
        service->GetValueForKeyInSubDomain(value, key, subDomain, size, StoreOf(store));
    if (code != kQemFlatOk) return code;
    // A value of n bytes needs n + 1 with its terminator.
    if (size <= 0 || value.size() >= static_cast<size_t>(size)) return kQemFlatBufferTooSmall;
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return kQemFlatOk;
  });
}

int32_t QemPCDServiceSetValueForKeyInSubDomain(_QemPCDService* service, const char* value,
                                               const char* key, const char* subDomain,
                                               int32_t store) {
  return Barrier([&]() -> int32_t {
    if (service == nullptr || value == nullptr || key == nullptr || subDomain == nullptr) {
      return kQemFlatMissingArgument;
    }
    return service->SetValueForKeyInSubDomain(value, key, subDomain, StoreOf(store));
  });
}

int32_t QemPCDServiceRemoveKeyInSubDomain(_QemPCDService* service, const char* key,
                                          const char* subDomain, int32_t store) {
  return Barrier([&]() -> int32_t {
    if (service == nullptr || key == nullptr || subDomain == nullptr) {
      return kQemFlatMissingArgument;
    }
    return service->RemoveKeyInSubDomain(key, subDomain, StoreOf(store));
  });
}

int32_t QemPCDServiceGetSubDomains(_QemPCDService* service, _QemStringList* list,
                                   int32_t store) {
  return Barrier([&]() -> int32_t {
    if (service == nullptr || list == nullptr) return kQemFlatMissingArgument;
    std::vector<std::string> names;
    const int32_t code = service->GetSubDomains(names, StoreOf(store));
    if (code != kQemFlatOk) return code;
    for (const std::string& name : names) QemStringListAdd(list, name.c_str());
    return kQemFlatOk;
  });
}

}  // extern "C"
