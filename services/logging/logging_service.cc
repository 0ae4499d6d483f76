#include "services/logging/logging_service.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <new>

#include "platform/platform.h"
#include "services/core/service_loader.h"
#include "services/logging/debug_output.h"

namespace {

// Only a key inside the process.
constexpr const char kDefaultServiceName[] = "QemDeflt";
constexpr const char kUndefinedComponent[] = "<undefined>";
constexpr size_t kEnvironmentRoom = 64;  // 63 characters and a terminator

struct Configuration {
  bool configured = false;
  QemLogLevel level = kQemLogDebug;
  QemLogLayout layout = kQemLogClear;
  std::map<std::string, _QemLoggingService*>* registry = nullptr;  // holds no references
};

Configuration g_config;

// The variable's value, `fallback` when it is absent, and the empty text when it does not fit.
std::string ReadWord(const char* variable, const char* fallback) {
  std::string value;
  if (!platform::GetEnv(variable, &value)) return fallback;
  if (value.size() >= kEnvironmentRoom) return std::string();
  return value;
}

void ReadConfiguration() {
  if (g_config.registry == nullptr) g_config.registry = new std::map<std::string, _QemLoggingService*>;

  const std::string layout = ReadWord("QemLogFormat", "clear");
  g_config.layout = layout == "obscured" ? kQemLogObscured : kQemLogClear;

  static const char* const kLevelWords[] = {"off", "critical", "error",
                                            "warning", "informational", "debug"};
  const std::string level = ReadWord("QemLogLevel", "debug");
  g_config.level = kQemLogDebug;
  for (int i = 0; i <= kQemLogDebug; ++i) {
    if (level == kLevelWords[i]) {
      g_config.level = static_cast<QemLogLevel>(i);
      break;
    }
  }
  g_config.configured = true;
}

// "%" in a text that becomes part of a printf format is doubled, so it prints as itself.
std::string EscapePercent(const char* text) {
  std::string escaped;
  for (const char* p = text; *p; ++p) {
    escaped.push_back(*p);
    if (*p == '%') escaped.push_back('%');
  }
  return escaped;
}

// "YYYY-MM-DD hh:mm:ss [pid] "
std::string TimePrefix() {
  const std::tm now = platform::LocalTimeNow();
  char time_text[100];
  if (std::strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", &now) == 0)
    time_text[0] = '\0';
  char prefix[100];
  std::snprintf(prefix, sizeof prefix, "%s [%d] ", time_text,
                static_cast<int>(platform::ProcessId()));
  return prefix;
}

// The loader's reports reach the default logging service through these.
void LoaderLog(int level, const char* public_format, const char* format, va_list args) {
  _QemLoggingService* service = GetLoggingService(nullptr);
  if (service == nullptr) return;
  service->LogV("ServiceLoader", level, public_format, format, args);
  service->Release();
}

void LoaderDebug(const char* prefix, const char* format, va_list args) {
  char message[4096];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) return;
  QemDebugLog(prefix, "%s", message);
}

const QemLoaderReportSink kLoaderSink = {&LoaderLog, &LoaderDebug};
// Installed when this library is part of the program.
const bool kLoaderSinkInstalled = (QemServiceLoader::SetReportSink(&kLoaderSink), true);

}  // namespace

uint32_t QemLogMessageId(const char* format) {
  uint32_t h = 0;
  for (const char* p = format; p && *p; ++p) {
    // Each byte counts as a signed 8-bit value.
    h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h & 0x7FFFFFFFu;
}

_QemLoggingService::_QemLoggingService(const char* name)
    : name_(name), loggers_(new (std::nothrow) std::vector<_QemLogger*>) {}

_QemLoggingService::~_QemLoggingService() {
  if (loggers_) {
    for (_QemLogger* logger : *loggers_) logger->Release();
  }
  if (g_config.registry != nullptr) {
    auto found = g_config.registry->find(name_);
    if (found != g_config.registry->end() && found->second == this) g_config.registry->erase(found);
  }
}

_QemLoggingService* GetLoggingService(const char* name) {
  if (!g_config.configured) ReadConfiguration();
  const std::string key = name ? name : kDefaultServiceName;
  auto found = g_config.registry->find(key);
  if (found != g_config.registry->end()) {
    found->second->Retain();
    return found->second;
  }
  auto* service = new (std::nothrow) _QemLoggingService(key.c_str());
  if (service == nullptr) return nullptr;
  (*g_config.registry)[key] = service;
  return service;
}

void _QemLoggingService::AddLogger(_QemLogger* logger) {
  if (logger == nullptr || !loggers_) return;
  logger->Retain();
  loggers_->push_back(logger);
}

void _QemLoggingService::LogV(const char* component, int32_t level, const char* public_format,
                              const char* format, va_list args) {
  if (!loggers_) return;
  if (level > g_config.level) return;
  if (format == nullptr) return;

  const std::string tag = EscapePercent(component ? component : kUndefinedComponent);
  std::string line = TimePrefix();
  if (g_config.layout == kQemLogObscured && public_format != QemNoPublicFormat) {
    char id[16];
    std::snprintf(id, sizeof id, "%010u", static_cast<unsigned>(QemLogMessageId(format)));
    line += " /" + tag + id + "/ ";
    if (public_format != nullptr) line += public_format;
  } else {
    line += " " + tag + ": " + format;
  }
  line += "\n";

  for (_QemLogger* logger : *loggers_) {
    // Each logger consumes its own copy: a va_list read once cannot be read again.
    va_list copy;
    va_copy(copy, args);
    logger->Write(line.c_str(), copy);
    va_end(copy);
  }
}

void _QemLoggingService::Log(const char* component, int32_t level, const char* public_format,
                             const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(component, level, public_format, format, args);
  va_end(args);
}

namespace qem_logging_testing {
void ResetConfiguration() { g_config.configured = false; }
QemLogLevel ConfiguredLevel() { return g_config.level; }
QemLogLayout ConfiguredLayout() { return g_config.layout; }
}  // namespace qem_logging_testing
