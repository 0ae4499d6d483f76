// Database folders for POSIX: path joining and stripping with "/" as the only separator,
// folder trees, the nearest mode bits in place of Windows access lists, and fsync.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace platform {
namespace {

// The modes that stand in for the two access entries. The owner's bits take the place of the
// Administrators entry (full control), the group's and others' bits that of Everyone.
struct DatabaseFolderModes {
  mode_t folder;
  mode_t file;
};

DatabaseFolderModes ModesFor(bool grant_write) {
  // Everyone: read, or read, write and remove entries (write on the folder, sticky bit off).
  return grant_write ? DatabaseFolderModes{0777, 0666} : DatabaseFolderModes{0755, 0644};
}

// Changes the mode of a regular file in the folder without following a symbolic link.
void ChangeFileMode(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, mode);
  ::close(fd);
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
}

bool Mismatch(std::string* difference, const std::string& text) {
  if (difference) *difference = text;
  return false;
}

}  // namespace

bool AppendToPath(const std::string& folder, const std::string& name, std::string* joined) {
  size_t start = 0;
  while (start < name.size() && name[start] == '/') ++start;
  std::string result = folder;
  if (start < name.size()) {
    if (!result.empty() && result.back() != '/') result += '/';
    result.append(name, start, std::string::npos);
  }
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  *joined = result;
  return true;
}

std::string LastPathComponent(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (path[i] == '/' && path[i + 1] != '/') start = i + 1;
  }
  return path.substr(start);
}

int MakeFolderTree(const std::string& path) {
  if (path.empty()) return ENOENT;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? EEXIST : ENOTDIR;
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const int parent = MakeFolderTree(path.substr(0, slash));
    if (parent != 0 && parent != EEXIST) return parent;
  }
  if (::mkdir(path.c_str(), 0777) != 0) return errno;
  return 0;
}

void SetDatabaseFolderAccess(const std::string& folder, bool grant_write) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const DatabaseFolderModes modes = ModesFor(grant_write);
  ::chmod(folder.c_str(), modes.folder);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    ChangeFileMode(folder + "/" + name, modes.file);
  }
  ::closedir(dir);
}

int ForceFileToDisk(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int result = 0;
  if (::fsync(fd) != 0) result = errno;
  if (::close(fd) != 0 && result == 0) result = errno;
  return result;
}

namespace testing {

bool DatabaseFolderAccessBuiltAsDocumented(bool grant_write, std::string* difference) {
  const DatabaseFolderModes modes = ModesFor(grant_write);
  const mode_t folder = grant_write ? 0777 : 0755;
  const mode_t file = grant_write ? 0666 : 0644;
  if (modes.folder != folder)
    return Mismatch(difference, "folder mode " + Octal(modes.folder) + ", want " + Octal(folder));
  if (modes.file != file)
    return Mismatch(difference, "file mode " + Octal(modes.file) + ", want " + Octal(file));
  return true;
}

bool DatabaseFolderAccessReadsAsDocumented(const std::string& folder, bool grant_write,
                                           std::string* difference) {
  const mode_t want_folder = grant_write ? 0777 : 0755;
  const mode_t want_file = grant_write ? 0666 : 0644;
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Mismatch(difference, "not a folder: " + folder);
  if ((st.st_mode & 07777) != want_folder)
    return Mismatch(difference, "folder mode " + Octal(st.st_mode & 07777) + ", want " +
                                    Octal(want_folder));
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return Mismatch(difference, "cannot list " + folder);
  bool same = true;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string path = folder + "/" + entry->d_name;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if ((st.st_mode & 07777) != want_file) {
      same = Mismatch(difference, path + " mode " + Octal(st.st_mode & 07777) + ", want " +
                                      Octal(want_file));
      break;
    }
  }
  ::closedir(dir);
  return same;
}

}  // namespace testing
}  // namespace platform
