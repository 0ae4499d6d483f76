// Flat functions for objects in general, string lists and logging.
#include <new>

#include "services/flat/qem_flat.h"

extern "C" {

QemRefObject* QemObjectRetain(QemRefObject* object) {
  return object ? object->Retain() : nullptr;
}

void QemObjectRelease(QemRefObject* object) {
  if (object) object->Release();
}

_QemStringList* QemStringListCreate(void) {
  try {
    return new (std::nothrow) _QemStringList;
  } catch (...) {
    return nullptr;
  }
}

uint32_t QemStringListGetCount(_QemStringList* list) {
  try {
    return list ? static_cast<uint32_t>(list->Count()) : 0;
  } catch (...) {
    return 0;
  }
}

void QemStringListReset(_QemStringList* list) {
  try {
    if (list) list->Reset();
  } catch (...) {
  }
}

const char* QemStringListGetNext(_QemStringList* list) {
  try {
    return list ? list->GetNext() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

void QemStringListAdd(_QemStringList* list, const char* text) {
  try {
    if (list && text) list->Add(text);
  } catch (...) {
  }
}

_QemLoggingService* QemLoggingServiceGet(const char* name) {
  try {
    return GetLoggingService(name);
  } catch (...) {
    return nullptr;
  }
}

void QemLoggingServiceAddLogger(_QemLoggingService* service, _QemLogger* logger) {
  try {
    auto* file_logger = dynamic_cast<_QemFileLogger*>(logger);
    if (file_logger == nullptr) return;
    _QemLoggingService* target = service ? service : GetLoggingService(nullptr);
    if (target == nullptr) return;
    target->AddLogger(file_logger);
    if (service == nullptr) target->Release();
  } catch (...) {
  }
}

_QemFileLogger* QemFileLoggerCreate(const char* path, int64_t limit) {
  try {
    return CreateFileLogger(path, limit);
  } catch (...) {
    return nullptr;
  }
}

void QemLogV(_QemLoggingService* service, const char* component, int32_t level,
             const char* public_format, const char* format, va_list args) {
  try {
    // Without a service the line goes to the default one, made for the call when missing; a
    // service made for the call has no logger and goes again with the release.
    _QemLoggingService* target = service ? service : GetLoggingService(nullptr);
    if (target == nullptr) return;
    target->LogV(component, level, public_format, format, args);
    if (service == nullptr) target->Release();
  } catch (...) {
  }
}

void QemLog(_QemLoggingService* service, const char* component, int32_t level,
            const char* public_format, const char* format, ...) {
  va_list args;
  va_start(args, format);
  QemLogV(service, component, level, public_format, format, args);
  va_end(args);
}

}  // extern "C"
