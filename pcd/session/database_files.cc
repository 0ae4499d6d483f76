#include "pcd/session/database_files.h"

#include "pcd/session/pcd_session.h"
#include "platform/platform.h"

namespace pcd {
namespace {

// The longest pair of texts that JoinPath accepts, in UTF-16 units.
constexpr size_t kJoinLimit = 260;

bool IsFolder(const std::string& path) {
  platform::FileFacts facts;
  return platform::StatPath(path, &facts) == 0 && facts.is_folder;
}

}  // namespace

bool GetKymraCommonFolder(std::string* folder) {
  // 0x2C, not 0x2B: see the header.
  constexpr platform::ShellFolder kFolder = platform::kCommonProgramFilesX86;
  std::string common;
  if (!platform::ShellFolderPathByLocation(kFolder, &common) &&
      !platform::ShellFolderPath(kFolder, &common))
    return false;
  if (!common.empty() && common.back() == platform::kPathSeparator[0]) common.pop_back();
  *folder = common + platform::kPathSeparator + "Kymra";
  return true;
}

bool JoinPath(const std::string& folder, const std::string& name, std::string* joined) {
  if (platform::Utf8ToUtf16(folder).size() + platform::Utf8ToUtf16(name).size() > kJoinLimit)
    return false;
  if (name.empty()) {
    *joined = folder;
    return true;
  }
  return platform::AppendToPath(folder, name, joined);
}

std::string ParentFolder(const std::string& path) {
  const std::string last = platform::LastPathComponent(path);
  if (last.size() >= path.size()) return ".";
  std::string parent = path.substr(0, path.size() - last.size());
  if (parent.size() >= 2 && (parent.back() == '/' || parent.back() == '\\')) parent.pop_back();
  return parent;
}

int CreateFolderTree(const std::string& path) {
  if (platform::PathExists(path)) return IsFolder(path) ? PCD_OK : PCD_ERR_IO;
  const std::string parent = ParentFolder(path);
  // A parent that is the path itself would never end the climb.
  if (parent == path) return PCD_ERR_IO;
  const int made_parent = CreateFolderTree(parent);
  if (made_parent != PCD_OK) return made_parent;
  if (platform::MakeFolderTree(path) == 0) return PCD_OK;
  // Another process may have made the folder meanwhile: that is what we wanted.
  return IsFolder(path) ? PCD_OK : PCD_ERR_IO;
}

int SetFolderAccess(const std::string& folder, bool grant_write) {
  platform::SetDatabaseFolderAccess(folder, grant_write);
  return PCD_OK;
}

void FlushFileToDisk(const std::string& path) { platform::ForceFileToDisk(path); }

}  // namespace pcd
