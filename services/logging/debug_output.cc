#include "services/logging/debug_output.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {
std::string* g_capture = nullptr;
}  // namespace

namespace qem_logging_testing {
void CaptureDebugOutput(std::string* sink) { g_capture = sink; }
}  // namespace qem_logging_testing

void QemDebugOutput(std::FILE* stream, const char* format, va_list args) {
  if (format == nullptr) return;
  if (stream != nullptr) {
    std::vfprintf(stream, format, args);
    std::fflush(stream);
    return;
  }
  constexpr size_t kBufferSize = 4096;
  constexpr size_t kMaxText = 4093;  // room for the line end and the terminator
  char buffer[kBufferSize];
  const int written = std::vsnprintf(buffer, kMaxText + 1, format, args);
  if (written <= 0) return;
  // A longer text was cut by vsnprintf at kMaxText characters.
  std::strcat(buffer, "\r\n");
  if (g_capture != nullptr) {
    g_capture->append(buffer);
    return;
  }
  platform::DebugOutput(buffer);
}

namespace {
void DebugOutputF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  QemDebugOutput(nullptr, format, args);
  va_end(args);
}
}  // namespace

void QemDebugLog(const char* prefix, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  char message[4096];
  const int written = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (written < 0) return;
  DebugOutputF("%s: %s", prefix ? prefix : "", message);
}
