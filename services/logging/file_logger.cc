#include <cstdio>
#include <new>

#include "services/logging/debug_output.h"
#include "services/logging/logging_service.h"
#include "util/paths.h"

namespace {

constexpr int64_t kNoLimit = -1;
constexpr int64_t kSmallestLimit = 4096;

// A log file must be a regular file with one link. Checked on the path first, and again on the
// file actually opened, since the folder may be writable by everyone and the name could be
// swapped for a link in between.
bool IsPlainFile(const platform::FileFacts& facts, void*) {
  return facts.is_regular && facts.link_count <= 1;
}

}  // namespace

_QemFileLogger* CreateFileLogger(const char* path, int64_t limit) {
  if (path == nullptr) return nullptr;
  platform::FileFacts facts;
  const bool exists = StatPath(path, &facts) == 0;
  if (exists) {
    bool refused = false;
    if (!facts.is_regular) {
      QemDebugLog("", "%s: not a regular file", path);
      refused = true;
    }
    if (facts.link_count > 1) {
      QemDebugLog("", "%s: too many links", path);
      refused = true;
    }
    if (refused) return nullptr;
  }

  const char* mode = "a";
  if (limit != kNoLimit) {
    if (limit < kSmallestLimit) limit = kSmallestLimit;
    if (exists && facts.size > static_cast<uint64_t>(limit)) mode = "w";
  }
  std::FILE* stream = OpenFileShared(path, mode, &IsPlainFile, nullptr);
  if (stream == nullptr) return nullptr;
  auto* logger = new (std::nothrow) _QemFileLogger(stream, true);
  if (logger == nullptr) std::fclose(stream);
  return logger;
}

_QemFileLogger::~_QemFileLogger() {
  if (owns_stream_ && stream_ != nullptr) std::fclose(stream_);
}

void _QemFileLogger::Write(const char* line_format, va_list args) {
  if (stream_ == nullptr || line_format == nullptr) return;
  std::vfprintf(stream_, line_format, args);
  std::fflush(stream_);
}
