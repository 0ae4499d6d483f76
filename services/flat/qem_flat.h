// The tool's flat interface to the services: plain arguments, result codes, and no exception
// ever escapes. Every object a function here creates or returns carries one reference for the
// caller, who gives it back with QemObjectRelease.
#ifndef QEM_SERVICES_FLAT_QEM_FLAT_H_
#define QEM_SERVICES_FLAT_QEM_FLAT_H_

#include <cstdarg>
#include <cstdint>

#include "pcd/service/pcd_service.h"
#include "services/flat/string_list.h"
#include "services/logging/logging_service.h"

// Codes the flat interface adds to those the services answer.
enum QemFlatStatus : int32_t {
  kQemFlatOk = 0,
  kQemFlatMissingArgument = 6,
  kQemFlatBufferTooSmall = 8,
  kQemFlatException = -16,
};

extern "C" {

QemRefObject* QemObjectRetain(QemRefObject* object);
void QemObjectRelease(QemRefObject* object);

_QemStringList* QemStringListCreate(void);
uint32_t QemStringListGetCount(_QemStringList* list);
void QemStringListReset(_QemStringList* list);
const char* QemStringListGetNext(_QemStringList* list);
void QemStringListAdd(_QemStringList* list, const char* text);

// The logging service registered under `name` (the default one when null), created when
// missing, with one reference for the caller.
_QemLoggingService* QemLoggingServiceGet(const char* name);
// Attaches a file logger to the service (the default one when null); any other kind of logger
// is ignored.
void QemLoggingServiceAddLogger(_QemLoggingService* service, _QemLogger* logger);
_QemFileLogger* QemFileLoggerCreate(const char* path, int64_t limit);
void QemLog(_QemLoggingService* service, const char* component, int32_t level,
            const char* public_format, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void QemLogV(_QemLoggingService* service, const char* component, int32_t level,
             const char* public_format, const char* format, va_list args);

// The configuration database service. `store` is a PCDStore; any non-zero value means the
// cache store. The value, key and sub-domain texts are zero-terminated UTF-8.
_QemPCDService* QemPCDServiceCreate(const char* masterConfiguration);
// Copies the value with its terminator when it is shorter than `size`; otherwise 8 and the
// buffer is left as it was.
int32_t QemPCDServiceGetValueForKeyInSubDomain(_QemPCDService* service, char* buffer,
                                               int32_t size, const char* key,
                                               const char* subDomain, int32_t store);
int32_t QemPCDServiceSetValueForKeyInSubDomain(_QemPCDService* service, const char* value,
                                               const char* key, const char* subDomain,
                                               int32_t store);
int32_t QemPCDServiceRemoveKeyInSubDomain(_QemPCDService* service, const char* key,
                                          const char* subDomain, int32_t store);
// Appends the names after what the list holds, only when the service answers 0.
int32_t QemPCDServiceGetSubDomains(_QemPCDService* service, _QemStringList* list,
                                   int32_t store);

}  // extern "C"

#endif  // QEM_SERVICES_FLAT_QEM_FLAT_H_
