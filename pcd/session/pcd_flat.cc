#include "pcd/session/pcd_flat.h"

#include <memory>
#include <new>
#include <string>

#include "pcd/schema/pcd_schema.h"
#include "pcd/session/database_files.h"
#include "pcd/session/pcd_flat_internal.h"
#include "pcd/session/pcd_session.h"

namespace {

// The code that stands for an exception caught at the edge.
int CaughtCode(const std::exception_ptr& caught) {
  try {
    std::rethrow_exception(caught);
  } catch (const std::bad_alloc&) {
    return PCD_ERR_NO_MEMORY;
  } catch (...) {
    return PCD_ERR_ENGINE;
  }
}

bool CacheFolder(std::string* folder) {
  std::string common;
  std::string databases;
  return pcd::GetKymraCommonFolder(&common) &&
         pcd::JoinPath(common, kPCDDatabaseFolderName, &databases) &&
         pcd::JoinPath(databases, kPCDCacheFolderName, folder);
}

}  // namespace

extern "C" {

int PCDOpenCacheSession(PCDSessionHandle* out) {
  if (out == nullptr) return PCD_ERR_BAD_ARGUMENT;
  *out = nullptr;
  try {
    std::string folder;
    if (!CacheFolder(&folder)) return PCD_ERR_NOT_OPEN;
    auto handle = std::make_unique<PCDSessionHandleRecord>();
    handle->session = std::make_unique<PCDSession>(folder, kPCDCacheFileName, kPCDCacheSchema,
                                                   /*grant_write=*/true,
                                                   /*skip_access_control=*/false,
                                                   PCDDatabaseKindCache);
    const int state = handle->session->state();
    if (state != PCD_OK) return state;
    *out = handle.release();
    return PCD_OK;
  } catch (...) {
    return CaughtCode(std::current_exception());
  }
}

int PCDGetDomainValue(PCDSessionHandle handle, int domain, const char* subDomain,
                      const char* key, const char** value) {
  if (handle == nullptr || subDomain == nullptr || key == nullptr || value == nullptr)
    return PCD_ERR_BAD_ARGUMENT;
  try {
    return handle->session->QueryValue(
        value, "SELECT value FROM domain_data WHERE domain = %d AND subdomain = '%q' AND key = '%q'",
        domain, subDomain, key);
  } catch (...) {
    return CaughtCode(std::current_exception());
  }
}

int PCDFlushSession(PCDSessionHandle handle) {
  if (handle == nullptr) return PCD_ERR_BAD_ARGUMENT;
  try {
    return handle->session->CommitAndFlush();
  } catch (...) {
    return CaughtCode(std::current_exception());
  }
}

int PCDCloseSession(PCDSessionHandle handle) {
  if (handle == nullptr) return PCD_ERR_BAD_ARGUMENT;
  std::unique_ptr<PCDSessionHandleRecord> owned(handle);
  try {
    const int flushed = PCDFlushSession(handle);
    const int closed = owned->session->Close();
    return closed != PCD_OK ? closed : flushed;
  } catch (...) {
    return CaughtCode(std::current_exception());
  }
}

}  // extern "C"
