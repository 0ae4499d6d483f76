#include "services/core/service_loader.h"

#include <algorithm>
#include <new>

#include "util/paths.h"

namespace {

QemServiceLoader* g_loader = nullptr;
const QemLoaderReportSink* g_sink = nullptr;

constexpr const char kComponent[] = "ServiceLoader";

}  // namespace

void QemServiceLoader::SetReportSink(const QemLoaderReportSink* sink) { g_sink = sink; }

QemServiceLoader* QemServiceLoader::Get() {
  if (g_loader != nullptr) return g_loader;
  QemServiceLoader* loader = new (std::nothrow) QemServiceLoader;
  if (loader == nullptr) return nullptr;

  char folder[kPathBufferSize] = {};
  if (GetProgramFolder(folder) != nullptr) loader->AddSearchPath(folder);
  std::string current;
  if (platform::CurrentFolder(&current)) loader->AddSearchPath(current.c_str());

  // Published before the first report: the report may create a logging service, whose
  // constructor asks for the loader again.
  g_loader = loader;
  loader->logging_enabled_ = true;
  loader->Report(5, nullptr, "using logging service now");
  return loader;
}

void QemServiceLoader::AddSearchPath(const char* path) {
  char absolute[kPathBufferSize] = {};
  if (path == nullptr || GetFullPath(path, absolute) == nullptr) return;
  if (std::find(search_paths_.begin(), search_paths_.end(), absolute) != search_paths_.end())
    return;
  Report(4, "%s", "adding search path: %s", absolute);
  search_paths_.emplace_back(absolute);
}

void QemServiceLoader::Report(int level, const char* public_format, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (logging_enabled_) {
    if (g_sink != nullptr) g_sink->log(level, public_format, format, args);
  } else if (level > 0 && level < 4) {
    if (g_sink != nullptr) g_sink->debug(kComponent, format, args);
  }
  va_end(args);
}
