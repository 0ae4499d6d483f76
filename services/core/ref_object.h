// Reference-counted objects with a recursive lock of their own, and the bases of services and
// loggers. Every service and every object handed across the flat interface derives from
// QemRefObject and is born with one reference for its creator.
#ifndef QEM_SERVICES_CORE_REF_OBJECT_H_
#define QEM_SERVICES_CORE_REF_OBJECT_H_

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

class QemServiceLoader;

// Type codes: four characters packed with the first in the most significant byte.
enum QemTypeCode : uint32_t {
  kQemTypeLoggingService = 0x4C6F6720,  // "Log "
  kQemTypeFileLogger = 0x464C6F67,      // "FLog"
  kQemTypeErrnoService = 0x45727220,    // "Err "
  kQemTypeStringList = 0x246C7374,      // "$lst"
  kQemTypePCDService = 0,               // none
};

// A lock the owning thread may take again.
class QemLock {
 public:
  QemLock();
  virtual ~QemLock();  // leaves the lock first when it is still held
  QemLock(const QemLock&) = delete;
  QemLock& operator=(const QemLock&) = delete;

  void Lock();
  void Unlock();

 private:
  std::unique_ptr<platform::RecursiveMutex> mutex_;
  bool held_ = false;
};

class QemRefObject {
 public:
  QemRefObject();
  QemRefObject(const QemRefObject&) = delete;
  QemRefObject& operator=(const QemRefObject&) = delete;

  // Adds one reference; returns this object.
  virtual QemRefObject* Retain();
  // Gives one reference back; the release that takes the count to 0 destroys the object, so
  // nothing may touch it afterwards.
  virtual void Release();
  virtual uint32_t TypeCode() const = 0;
  virtual ~QemRefObject();

  // For tests and diagnostics: the current count, read under the lock.
  int32_t RefCount();

 private:
  int32_t count_;
  QemLock lock_;
};

// Base of every service: it points to the process-wide loader, which it does not own.
class _QemService : public QemRefObject {
 public:
  _QemService();
  QemServiceLoader* Loader() const { return loader_; }

 private:
  QemServiceLoader* loader_;
};

// Base of every logger: receives one finished printf format (a whole line) and the arguments
// of the line.
class _QemLogger : public QemRefObject {
 public:
  virtual void Write(const char* line_format, va_list args) = 0;
};

#endif  // QEM_SERVICES_CORE_REF_OBJECT_H_
