// The errno service: one per process, it keeps the last error code a service recorded.
#ifndef QEM_SERVICES_CORE_ERRNO_SERVICE_H_
#define QEM_SERVICES_CORE_ERRNO_SERVICE_H_

#include <cstdint>

#include "services/core/ref_object.h"

class _QemErrnoService : public _QemService {
 public:
  uint32_t TypeCode() const override { return kQemTypeErrnoService; }
  void SetError(int32_t code) { last_error_ = code; }
  int32_t LastError() const { return last_error_; }

 protected:
  ~_QemErrnoService() override;

 private:
  friend _QemErrnoService* GetErrnoService();
  _QemErrnoService() = default;

  int32_t last_error_ = 0;
};

// The process-wide errno service with one reference for the caller; the process keeps the
// creation reference, so the service lives to the end of the process. Null when memory is short.
_QemErrnoService* GetErrnoService();

#endif  // QEM_SERVICES_CORE_ERRNO_SERVICE_H_
