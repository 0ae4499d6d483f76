// Shell folders, folder listings and the folder open to everyone, on Win32.
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/text_win32.h"

namespace platform {

// The machine root stands in for the shell folders on POSIX only; Windows asks the shell.
const char kDefaultSystemRoot[] = "";

namespace {

int LastError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Full control for Everyone: GENERIC_ALL with every standard and specific right.
constexpr DWORD kFullControl = 0x101FFFFF;

struct SidFree {
  void operator()(void* sid) const { FreeSid(sid); }
};
struct LocalMemoryFree {
  void operator()(void* memory) const { LocalFree(memory); }
};
struct IdListFree {
  void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};

}  // namespace

bool ShellFolderPath(ShellFolder folder, std::string* path) {
  wchar_t buffer[MAX_PATH];
  if (SHGetFolderPathW(nullptr, static_cast<int>(folder) | CSIDL_FLAG_CREATE, nullptr,
                       SHGFP_TYPE_CURRENT, buffer) != S_OK) {
    return false;
  }
  *path = win32::Narrow(buffer, std::wcslen(buffer));
  return true;
}

bool ShellFolderPathByLocation(ShellFolder folder, std::string* path) {
  PIDLIST_ABSOLUTE location = nullptr;
  if (SHGetFolderLocation(nullptr, static_cast<int>(folder), nullptr, 0, &location) != S_OK ||
      location == nullptr) {
    return false;
  }
  const std::unique_ptr<ITEMIDLIST, IdListFree> owned(location);
  wchar_t buffer[MAX_PATH];
  if (!SHGetPathFromIDListW(location, buffer)) return false;
  *path = win32::Narrow(buffer, std::wcslen(buffer));
  return true;
}

int ListFolder(const std::string& folder, std::vector<FolderEntry>* entries,
               bool* start_failed) {
  entries->clear();
  if (start_failed) *start_failed = true;
  std::wstring pattern;
  if (!win32::ToSystem(folder, &pattern)) return ERROR_INVALID_NAME;
  if (pattern.empty() || !IsSeparator(pattern.back())) pattern += L'\\';
  pattern += L'*';

  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return LastError();
  if (start_failed) *start_failed = false;
  do {
    FolderEntry entry;
    entry.name = win32::Narrow(found.cFileName, std::wcslen(found.cFileName));
    entry.is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries->push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  const DWORD ended = GetLastError();
  FindClose(search);
  if (ended == ERROR_NO_MORE_FILES) return 0;
  return ended != ERROR_SUCCESS ? static_cast<int>(ended) : ERROR_GEN_FAILURE;
}

int CreateFolderOpenToAll(const std::string& path) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return ERROR_INVALID_NAME;

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone_sid = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                &everyone_sid)) {
    return LastError();
  }
  const std::unique_ptr<void, SidFree> everyone(everyone_sid);

  EXPLICIT_ACCESS_W access;
  ZeroMemory(&access, sizeof access);
  access.grfAccessPermissions = kFullControl;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());

  PACL list = nullptr;
  const DWORD made = SetEntriesInAclW(1, &access, nullptr, &list);
  if (made != ERROR_SUCCESS) return static_cast<int>(made);
  const std::unique_ptr<void, LocalMemoryFree> owned_list(list);

  // Sized by this ABI's SECURITY_DESCRIPTOR (40 bytes on x64, where the 20 bytes of 32-bit
  // Windows would overflow), zero-filled before it is initialized.
  static_assert(sizeof(SECURITY_DESCRIPTOR) == SECURITY_DESCRIPTOR_MIN_LENGTH,
                "the descriptor is sized for this ABI");
  SECURITY_DESCRIPTOR descriptor;
  ZeroMemory(&descriptor, sizeof descriptor);
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE)) {
    return LastError();
  }
  SECURITY_ATTRIBUTES security;
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = &descriptor;
  security.bInheritHandle = FALSE;
  if (!CreateDirectoryW(wide.c_str(), &security)) return LastError();
  return 0;
}

}  // namespace platform
