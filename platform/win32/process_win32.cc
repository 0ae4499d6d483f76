// Process facts, environment, paths and the recursive mutex on Win32 and its C run-time.
#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace {

// The fixed room the seam gives system-reported paths, in UTF-16 units with the terminator.
constexpr DWORD kPathRoom = 1024;

// The run-time splitter's limits, in UTF-16 units with the terminator (_MAX_DRIVE, _MAX_DIR).
constexpr size_t kDriveRoom = 3;
constexpr size_t kFolderRoom = 256;

// Reads a path that a Win32 call writes into a buffer and answers with its length: 0 on
// failure, the needed size (at least the room) when it does not fit.
template <typename Call>
bool ReadSystemPath(Call call, std::string* path) {
  wchar_t buffer[kPathRoom];
  const DWORD length = call(buffer, kPathRoom);
  if (length == 0 || length >= kPathRoom) return false;
  *path = win32::Narrow(buffer, length);
  return true;
}

}  // namespace

const char kPathSeparator[] = "\\";

namespace internal {

uint32_t SystemProcessId() { return GetCurrentProcessId(); }

std::tm SystemLocalTime() {
  const __time64_t now = _time64(nullptr);
  std::tm local{};
  _localtime64_s(&local, &now);
  return local;
}

}  // namespace internal

bool SplitPath(const std::string& path, std::string* drive, std::string* folder) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return false;
  // Buffers as long as the whole path, so the splitter itself can never run out of room; the
  // fixed limits are then checked on what it found.
  std::vector<wchar_t> drive_part(wide.size() + kDriveRoom, L'\0');
  std::vector<wchar_t> folder_part(wide.size() + 1, L'\0');
  if (_wsplitpath_s(wide.c_str(), drive_part.data(), drive_part.size(), folder_part.data(),
                    folder_part.size(), nullptr, 0, nullptr, 0) != 0) {
    return false;
  }
  const size_t drive_length = std::wcslen(drive_part.data());
  const size_t folder_length = std::wcslen(folder_part.data());
  if (drive_length + 1 > kDriveRoom || folder_length + 1 > kFolderRoom) return false;
  if (drive) *drive = win32::Narrow(drive_part.data(), drive_length);
  if (folder) *folder = win32::Narrow(folder_part.data(), folder_length);
  return true;
}

bool FullPath(const std::string& path, std::string* absolute) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return false;
  return ReadSystemPath(
      [&wide](wchar_t* buffer, DWORD room) {
        return GetFullPathNameW(wide.c_str(), room, buffer, nullptr);
      },
      absolute);
}

bool ProgramFile(std::string* path) {
  // A truncated name fills the whole room, which ReadSystemPath takes as not fitting.
  return ReadSystemPath(
      [](wchar_t* buffer, DWORD room) { return GetModuleFileNameW(nullptr, buffer, room); },
      path);
}

bool CurrentFolder(std::string* path) {
  return ReadSystemPath(
      [](wchar_t* buffer, DWORD room) { return GetCurrentDirectoryW(room, buffer); }, path);
}

bool TempFolder(std::string* path) {
  return ReadSystemPath([](wchar_t* buffer, DWORD room) { return GetTempPathW(room, buffer); },
                        path);
}

bool GetEnv(const char* name, std::string* value) {
  std::string buffer(64, '\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableA(name, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      // Zero is both "absent" (or failed) and "present with an empty value".
      if (GetLastError() != ERROR_SUCCESS) return false;
      value->clear();
      return true;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      *value = std::move(buffer);
      return true;
    }
    buffer.assign(length, '\0');  // the needed size, terminator included; it may change again
  }
}

bool SetEnv(const char* name, const char* value) {
  return SetEnvironmentVariableA(name, value) != FALSE;
}

void DebugOutput(const char* text) { OutputDebugStringA(text ? text : ""); }

struct RecursiveMutex::State {
  CRITICAL_SECTION section;
};

RecursiveMutex::RecursiveMutex() : state_(new State) {
  InitializeCriticalSection(&state_->section);
}

RecursiveMutex::~RecursiveMutex() {
  DeleteCriticalSection(&state_->section);
  delete state_;
}

void RecursiveMutex::Lock() { EnterCriticalSection(&state_->section); }

void RecursiveMutex::Unlock() { LeaveCriticalSection(&state_->section); }

namespace testing {

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testing
}  // namespace platform
