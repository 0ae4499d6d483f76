// Path and file helpers over the platform seam. Paths are UTF-8; path buffers hold
// kPathBufferSize bytes, terminator included.
#ifndef QEM_UTIL_PATHS_H_
#define QEM_UTIL_PATHS_H_

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

constexpr size_t kPathBufferSize = 1024;

// Which shared folder GetKnownFolder answers for.
enum KnownFolderKind : int {
  kKnownFolderProgramFilesX86View = 0,  // common program files, 32-bit view (falls back to 1)
  kKnownFolderProgramFiles = 1,         // common program files
  kKnownFolderProgramFilesAlias = 3,    // same as 1
  kKnownFolderAppData = 255,            // common application data
};

// The maker folder's name under a known folder.
extern const char kMakerFolderName[];  // "Kymra"

// Each fills `buffer` (kPathBufferSize bytes) and returns it, or null on failure.
char* GetTempFolder(char* buffer);                  // without its trailing separator
char* GetProgramFolder(char* buffer);               // the folder of the program file
char* GetFullPath(const char* path, char* buffer);  // buffer unchanged on failure
char* GetKnownFolder(char* buffer, int kind);
char* GetMakerFolder(char* buffer, int kind);       // known folder + "Kymra", created if missing

// The drive and folder parts of `path`, without one trailing separator; "." for an absent or
// empty path. Answers in one process-wide buffer that the next call overwrites, so it (and
// GetProgramFolder) must not run on two threads at once.
const char* GetParentFolder(const char* path);

bool FileExists(const char* path);
bool FileIsReadable(const char* path);
bool FileIsWritable(const char* path);

// 0 on success, -1 on failure with errno set (EINVAL for a path that cannot be converted).
int RemoveFile(const char* path);
int MakeFolder(const char* path);

// 0 and `facts` filled, or -1 when the path does not exist or cannot be examined.
// A symbolic link is described as itself, never followed.
int StatPath(const char* path, platform::FileFacts* facts);

// A stream on `path` in `mode` that denies other processes nothing; null on failure.
// See platform::OpenSharedStream for `check`.
std::FILE* OpenFileShared(const char* path, const char* mode,
                          platform::OpenedFileCheck check = nullptr, void* context = nullptr);

#endif  // QEM_UTIL_PATHS_H_
