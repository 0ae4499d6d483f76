#include "util/paths.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "util/text.h"

const char kMakerFolderName[] = "Kymra";

namespace {

// Copies a whole answer into a path buffer, or fails when it does not fit.
char* Fill(char* buffer, const std::string& text) {
  if (buffer == nullptr || text.size() >= kPathBufferSize) return nullptr;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return buffer;
}

// The process-wide answer buffer of GetParentFolder.
char g_parent_folder[6144];

// Turns a platform error number into the -1 / errno convention of the run-time functions.
int ErrnoResult(int error) {
  if (error == 0) return 0;
  errno = error;
  return -1;
}

}  // namespace

char* GetTempFolder(char* buffer) {
  std::string folder;
  if (!platform::TempFolder(&folder)) return nullptr;
  // One trailing separator goes, as the folder is joined with a separator later.
  if (!folder.empty() && folder.back() == platform::kPathSeparator[0]) folder.pop_back();
  return Fill(buffer, folder);
}

char* GetFullPath(const char* path, char* buffer) {
  std::string absolute;
  if (path == nullptr || !platform::FullPath(path, &absolute) || absolute.empty()) return nullptr;
  return Fill(buffer, absolute);
}

const char* GetParentFolder(const char* path) {
  std::string drive, folder;
  if (path == nullptr || *path == '\0' || !platform::SplitPath(path, &drive, &folder)) {
    std::strcpy(g_parent_folder, ".");
    return g_parent_folder;
  }
  std::string joined = drive + folder;
  if (!joined.empty() && joined.back() == platform::kPathSeparator[0]) joined.pop_back();
  if (joined.size() >= sizeof g_parent_folder) joined.clear();
  std::memcpy(g_parent_folder, joined.c_str(), joined.size() + 1);
  return g_parent_folder;
}

char* GetProgramFolder(char* buffer) {
  std::string program;
  char absolute[kPathBufferSize] = {};
  if (!platform::ProgramFile(&program) || GetFullPath(program.c_str(), absolute) == nullptr)
    return nullptr;
  return Fill(buffer, GetParentFolder(absolute));
}

char* GetKnownFolder(char* buffer, int kind) {
  std::string folder;
  bool found;
  switch (kind) {
    case kKnownFolderProgramFiles:
    case kKnownFolderProgramFilesAlias:
      found = platform::ShellFolderPath(platform::kCommonProgramFiles, &folder);
      break;
    case kKnownFolderAppData:
      found = platform::ShellFolderPath(platform::kCommonAppData, &folder);
      break;
    default:
      found = platform::ShellFolderPath(platform::kCommonProgramFilesX86, &folder);
      // Systems without a 32-bit view have only the one program files folder.
      if (!found) return GetKnownFolder(buffer, kKnownFolderProgramFiles);
      break;
  }
  return found ? Fill(buffer, folder) : nullptr;
}

char* GetMakerFolder(char* buffer, int kind) {
  if (GetKnownFolder(buffer, kind) == nullptr) return nullptr;
  if (AppendBounded(buffer, kPathBufferSize, platform::kPathSeparator, kPathBufferSize) == nullptr ||
      AppendBounded(buffer, kPathBufferSize, kMakerFolderName, kPathBufferSize) == nullptr)
    return nullptr;
  if (!FileExists(buffer) && MakeFolder(buffer) != 0) return nullptr;
  return buffer;
}

bool FileExists(const char* path) { return path != nullptr && platform::PathExists(path); }
bool FileIsReadable(const char* path) { return path != nullptr && platform::PathIsReadable(path); }
bool FileIsWritable(const char* path) { return path != nullptr && platform::PathIsWritable(path); }

int RemoveFile(const char* path) {
  if (path == nullptr) return ErrnoResult(EINVAL);
  return ErrnoResult(platform::RemoveFile(path));
}

int MakeFolder(const char* path) {
  if (path == nullptr) return ErrnoResult(EINVAL);
  return ErrnoResult(platform::MakeFolder(path));
}

int StatPath(const char* path, platform::FileFacts* facts) {
  if (path == nullptr || facts == nullptr) return ErrnoResult(EINVAL);
  return ErrnoResult(platform::StatPath(path, facts));
}

std::FILE* OpenFileShared(const char* path, const char* mode, platform::OpenedFileCheck check,
                          void* context) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return platform::OpenSharedStream(path, mode, check, context);
}
