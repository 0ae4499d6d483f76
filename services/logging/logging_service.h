// Logging services: named, reference-counted services that filter lines by the process-wide
// level, lay them out clear or obscured, and hand them to their loggers.
#ifndef QEM_SERVICES_LOGGING_LOGGING_SERVICE_H_
#define QEM_SERVICES_LOGGING_LOGGING_SERVICE_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "services/core/ref_object.h"

// Passed as the public format of a line that has none: such a line is always laid out clear.
// A pointer with all bits set, never a real text.
#define QemNoPublicFormat (reinterpret_cast<const char*>(~static_cast<uintptr_t>(0)))

enum QemLogLevel : int32_t {
  kQemLogOff = 0,
  kQemLogCritical = 1,
  kQemLogError = 2,
  kQemLogWarning = 3,
  kQemLogInformational = 4,
  kQemLogDebug = 5,
};

enum QemLogLayout : int32_t {
  kQemLogClear = 0,
  kQemLogObscured = 1,
};

// The message id of a format in the obscured layout: a 32-bit hash of its bytes.
uint32_t QemLogMessageId(const char* format);

class _QemLoggingService : public _QemService {
 public:
  uint32_t TypeCode() const override { return kQemTypeLoggingService; }

  // Adds a reference to the logger and appends it; a logger added twice gets lines twice.
  void AddLogger(_QemLogger* logger);

  void LogV(const char* component, int32_t level, const char* public_format, const char* format,
            va_list args);
  void Log(const char* component, int32_t level, const char* public_format, const char* format,
           ...);

  const std::string& Name() const { return name_; }

 protected:
  ~_QemLoggingService() override;

 private:
  friend _QemLoggingService* GetLoggingService(const char* name);
  explicit _QemLoggingService(const char* name);

  std::string name_;
  std::unique_ptr<std::vector<_QemLogger*>> loggers_;
};

// The service registered under `name` (the default name when null) with one reference for the
// caller, or a new one registered under it. The first call reads "QemLogLevel" and
// "QemLogFormat"; they are never read again in the process.
_QemLoggingService* GetLoggingService(const char* name);

// Writes lines to a file, flushing after each.
class _QemFileLogger : public _QemLogger {
 public:
  uint32_t TypeCode() const override { return kQemTypeFileLogger; }
  void Write(const char* line_format, va_list args) override;

 protected:
  ~_QemFileLogger() override;

 private:
  friend _QemFileLogger* CreateFileLogger(const char* path, int64_t limit);
  _QemFileLogger(std::FILE* stream, bool owns_stream) : stream_(stream), owns_stream_(owns_stream) {}

  std::FILE* stream_;
  bool owns_stream_;
};

// A file logger appending to `path` (UTF-8), with one reference for the caller, or null when
// the path is not a regular file with one link or cannot be opened. An existing file larger
// than `limit` bytes (at least 4096; -1 for no limit) is emptied first.
_QemFileLogger* CreateFileLogger(const char* path, int64_t limit);

namespace qem_logging_testing {
// Forgets the configuration and the registry's state so a test can read the variables again.
void ResetConfiguration();
QemLogLevel ConfiguredLevel();
QemLogLayout ConfiguredLayout();
}  // namespace qem_logging_testing

#endif  // QEM_SERVICES_LOGGING_LOGGING_SERVICE_H_
