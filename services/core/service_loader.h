// The process-wide service loader: every service points to it. It gathers the folders a later
// extension could load services from, and reports through the default logging service once
// that can exist.
#ifndef QEM_SERVICES_CORE_SERVICE_LOADER_H_
#define QEM_SERVICES_CORE_SERVICE_LOADER_H_

#include <cstdarg>
#include <string>
#include <vector>

// Where the loader's reports go. The logging library installs both when it is linked in; the
// core cannot call it directly, since logging services are themselves services.
struct QemLoaderReportSink {
  // A line for the default logging service, with the component "ServiceLoader".
  void (*log)(int level, const char* public_format, const char* format, va_list args);
  // A line for the debugger channel, prefixed "ServiceLoader: ".
  void (*debug)(const char* prefix, const char* format, va_list args);
};

class QemServiceLoader {
 public:
  // The process-wide loader, made on the first call (inside the first service's constructor);
  // null only when memory is short.
  static QemServiceLoader* Get();

  static void SetReportSink(const QemLoaderReportSink* sink);

  // Adds the absolute form of `path` unless it is already listed (exact byte comparison).
  void AddSearchPath(const char* path);

  void Report(int level, const char* public_format, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  const std::vector<std::string>& SearchPaths() const { return search_paths_; }
  bool LoggingEnabled() const { return logging_enabled_; }

 private:
  QemServiceLoader() = default;

  std::vector<std::string> search_paths_;
  bool logging_enabled_ = false;
};

#endif  // QEM_SERVICES_CORE_SERVICE_LOADER_H_
