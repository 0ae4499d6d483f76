#include "services/core/errno_service.h"

#include <new>

namespace {
_QemErrnoService* g_errno_service = nullptr;
}  // namespace

_QemErrnoService::~_QemErrnoService() {
  if (g_errno_service == this) g_errno_service = nullptr;
}

_QemErrnoService* GetErrnoService() {
  if (g_errno_service == nullptr) {
    g_errno_service = new (std::nothrow) _QemErrnoService;
    if (g_errno_service == nullptr) return nullptr;
  }
  g_errno_service->Retain();
  return g_errno_service;
}
