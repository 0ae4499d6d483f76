// Known folders, folder listing and folder creation for POSIX.
//
// The machine-wide shell folders of Windows have no POSIX counterpart, so they all live under
// one machine root: $QemSystemRoot, or kDefaultSystemRoot when it is unset. Tests and sandboxes
// point the variable at a folder of their own.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

const char kDefaultSystemRoot[] = "/var/lib/qem-system";

namespace {

bool ShellFolderName(ShellFolder folder, const char** name) {
  switch (folder) {
    case kCommonProgramFiles:
      *name = "Program Files/Common Files";
      return true;
    case kCommonProgramFilesX86:
      *name = "Program Files (x86)/Common Files";
      return true;
    case kCommonAppData:
      *name = "ProgramData";
      return true;
  }
  return false;
}

std::string SystemRoot() {
  const char* root = std::getenv("QemSystemRoot");
  std::string text = (root && *root) ? root : kDefaultSystemRoot;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Creates every missing level of `path` (like mkdir -p). The machine folders are readable by
// everyone and writable by their owner, as the Windows ones are.
bool MakeFolderChain(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolderChain(path.substr(0, slash)))
    return false;
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  // Another process may have made it meanwhile.
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool ShellFolderPath(ShellFolder folder, std::string* path) {
  const char* name = nullptr;
  if (!ShellFolderName(folder, &name)) return false;
  const std::string full = SystemRoot() + "/" + name;
  if (!MakeFolderChain(full)) return false;
  *path = full;
  return true;
}

bool ShellFolderPathByLocation(ShellFolder folder, std::string* path) {
  const char* name = nullptr;
  if (!ShellFolderName(folder, &name)) return false;
  const std::string full = SystemRoot() + "/" + name;
  struct stat st;
  if (::stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *path = full;
  return true;
}

int ListFolder(const std::string& folder, std::vector<FolderEntry>* entries, bool* start_failed) {
  *start_failed = true;
  if (folder.find('\0') != std::string::npos) return EINVAL;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return errno;
  *start_failed = false;
  int result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      result = errno;
      break;
    }
    FolderEntry item;
    item.name = entry->d_name;
    if (entry->d_type == DT_DIR) {
      item.is_folder = true;
    } else if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      item.is_folder = ::lstat((folder + "/" + item.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entries->push_back(std::move(item));
  }
  ::closedir(dir);
  return result;
}

int CreateFolderOpenToAll(const std::string& path) {
  if (path.find('\0') != std::string::npos) return EINVAL;
  if (::mkdir(path.c_str(), 0777) != 0) return errno;
  // mkdir's mode passes through the umask; everyone must be able to add and rewrite
  // documents here, as the Windows access list grants.
  if (::chmod(path.c_str(), 0777) != 0) return errno;
  return 0;
}

}  // namespace platform
