// Process facts, environment, clock, debugger channel and the recursive mutex for POSIX.
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {

const char kPathSeparator[] = "/";

namespace internal {

uint32_t SystemProcessId() { return static_cast<uint32_t>(getpid()); }

std::tm SystemLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace internal

bool SplitPath(const std::string& path, std::string* drive, std::string* folder) {
  // The Windows splitter's limit (255 UTF-16 units and a terminator), kept so that both ports
  // refuse the same inputs.
  constexpr size_t kMaxFolder = 255;
  if (path.find('\0') != std::string::npos) return false;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  if (Utf8ToUtf16(dir).size() > kMaxFolder) return false;
  drive->clear();
  *folder = dir;
  return true;
}

bool FullPath(const std::string& path, std::string* absolute) {
  if (path.empty()) return false;
  std::string joined = path;
  if (path[0] != '/') {
    std::string cwd;
    if (!CurrentFolder(&cwd)) return false;
    joined = cwd + "/" + path;
  }
  // Resolve "." and ".." by the text alone, as the Windows rules do: links are not followed.
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= joined.size()) {
    size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string part = joined.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  if (result.empty()) result = "/";
  // A trailing separator is kept, as GetFullPathNameW keeps it.
  if (joined.size() > 1 && joined.back() == '/' && result != "/") result += "/";
  *absolute = result;
  return true;
}

bool ProgramFile(std::string* path) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return false;
  path->assign(buffer, static_cast<size_t>(n));
  return true;
}

bool CurrentFolder(std::string* path) {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return false;
  *path = buffer;
  return true;
}

bool TempFolder(std::string* path) {
  const char* tmpdir = std::getenv("TMPDIR");
  *path = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  return true;
}

bool GetEnv(const char* name, std::string* value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  *value = found;
  return true;
}

bool SetEnv(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

void DebugOutput(const char* text) {
  // The debugger channel's texts end in CR LF; a terminal wants a plain line feed.
  std::string line = text;
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.erase(line.size() - 2, 1);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

struct RecursiveMutex::State {
  pthread_mutex_t mutex;
};

RecursiveMutex::RecursiveMutex() : state_(new State) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&state_->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

RecursiveMutex::~RecursiveMutex() {
  pthread_mutex_destroy(&state_->mutex);
  delete state_;
}

void RecursiveMutex::Lock() { pthread_mutex_lock(&state_->mutex); }
void RecursiveMutex::Unlock() { pthread_mutex_unlock(&state_->mutex); }

namespace testing {
bool RunningUnderWine() { return false; }
}  // namespace testing

}  // namespace platform
