// Database folders for Windows: the shell's path functions, folder trees, the protected
// two-entry access list of a database folder, and the write-through flush of a file.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

std::wstring Wide(const std::string& text) {
  const std::u16string utf16 = Utf8ToUtf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const wchar_t* text) {
  std::u16string utf16;
  for (; *text; ++text) utf16.push_back(static_cast<char16_t>(*text));
  return Utf16ToUtf8(utf16);
}

// Owners of what the security functions hand out.
struct LocalMemory {
  HLOCAL memory = nullptr;
  ~LocalMemory() {
    if (memory) LocalFree(memory);
  }
};

struct Sid {
  PSID sid = nullptr;
  ~Sid() {
    if (sid) FreeSid(sid);
  }
};

// The access list of a database folder, with the identifiers its entries name.
struct DatabaseFolderAcl {
  Sid everyone;
  Sid administrators;
  PACL acl = nullptr;
  ~DatabaseFolderAcl() {
    if (acl) LocalFree(acl);
  }
};

constexpr DWORD kEveryoneReadWrite = GENERIC_READ | GENERIC_WRITE | FILE_DELETE_CHILD;

bool BuildDatabaseFolderAcl(bool grant_write, DatabaseFolderAcl* built) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                &built->everyone.sid))
    return false;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, &built->administrators.sid))
    return false;

  EXPLICIT_ACCESSW entries[2] = {};
  entries[0].grfAccessPermissions = GENERIC_ALL;
  entries[0].grfAccessMode = GRANT_ACCESS;
  entries[0].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entries[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entries[0].Trustee.ptstrName = static_cast<LPWSTR>(built->administrators.sid);

  entries[1].grfAccessPermissions = grant_write ? kEveryoneReadWrite : GENERIC_READ;
  entries[1].grfAccessMode = GRANT_ACCESS;
  entries[1].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entries[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entries[1].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entries[1].Trustee.ptstrName = static_cast<LPWSTR>(built->everyone.sid);

  // A new list of these two entries alone: nothing of the old list is merged.
  return SetEntriesInAclW(2, entries, nullptr, &built->acl) == ERROR_SUCCESS;
}

bool Mismatch(std::string* difference, const std::string& text) {
  if (difference) *difference = text;
  return false;
}

std::string Hex(DWORD value) {
  char text[16];
  wsprintfA(text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// Checks that an access list holds exactly the two documented entries. `mapped_too` also
// accepts the file-specific rights that the system may store in place of generic ones.
bool AclIsDocumented(PACL acl, bool grant_write, bool mapped_too, std::string* difference) {
  if (acl == nullptr) return Mismatch(difference, "no access list (everyone has full access)");
  ACL_SIZE_INFORMATION size = {};
  if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation))
    return Mismatch(difference, "GetAclInformation failed");
  if (size.AceCount != 2)
    return Mismatch(difference, std::to_string(size.AceCount) + " entries, want 2");

  bool seen_administrators = false;
  bool seen_everyone = false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(acl, i, &raw)) return Mismatch(difference, "GetAce failed");
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
      return Mismatch(difference, "entry " + std::to_string(i) + " does not grant");
    if (ace->Header.AceFlags != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))
      return Mismatch(difference, "entry " + std::to_string(i) + " has inheritance flags " +
                                      Hex(ace->Header.AceFlags));
    LPWSTR sid_text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid_text))
      return Mismatch(difference, "ConvertSidToStringSidW failed");
    const std::string sid = Narrow(sid_text);
    LocalFree(sid_text);

    DWORD want = 0;
    DWORD want_mapped = 0;
    if (sid == "S-1-5-32-544") {
      seen_administrators = true;
      want = GENERIC_ALL;
      want_mapped = FILE_ALL_ACCESS;
    } else if (sid == "S-1-1-0") {
      seen_everyone = true;
      want = grant_write ? 0xC0000040 : 0x80000000;
      want_mapped = grant_write ? (FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_DELETE_CHILD)
                                : FILE_GENERIC_READ;
    } else {
      return Mismatch(difference, "unexpected trustee " + sid);
    }
    if (ace->Mask != want && !(mapped_too && ace->Mask == want_mapped))
      return Mismatch(difference, sid + " has rights " + Hex(ace->Mask) + ", want " + Hex(want));
  }
  if (!seen_administrators || !seen_everyone)
    return Mismatch(difference, "Administrators or Everyone missing");
  return true;
}

}  // namespace

bool AppendToPath(const std::string& folder, const std::string& name, std::string* joined) {
  const std::wstring wide_folder = Wide(folder);
  const std::wstring wide_name = Wide(name);
  if (wide_folder.size() >= MAX_PATH) return false;
  wchar_t buffer[MAX_PATH] = {};
  wide_folder.copy(buffer, wide_folder.size());
  if (!PathAppendW(buffer, wide_name.c_str())) return false;
  PathRemoveBackslashW(buffer);
  *joined = Narrow(buffer);
  return true;
}

std::string LastPathComponent(const std::string& path) {
  std::wstring wide = Wide(path);
  std::vector<wchar_t> buffer(wide.begin(), wide.end());
  buffer.push_back(L'\0');
  PathStripPathW(buffer.data());
  return Narrow(buffer.data());
}

int MakeFolderTree(const std::string& path) {
  const int result = SHCreateDirectoryExW(nullptr, Wide(path).c_str(), nullptr);
  if (result == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
  return result;
}

void SetDatabaseFolderAccess(const std::string& folder, bool grant_write) {
  std::wstring wide = Wide(folder);
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL old_acl = nullptr;
  LocalMemory descriptor;
  if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                DACL_SECURITY_INFORMATION,
                            &owner, &group, &old_acl, nullptr,
                            reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory)) !=
      ERROR_SUCCESS)
    return;
  DatabaseFolderAcl built;
  if (!BuildDatabaseFolderAcl(grant_write, &built)) return;
  // Protected: the folder stops inheriting entries from its parent.
  SetNamedSecurityInfoW(&wide[0], SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, built.acl, nullptr);
}

int ForceFileToDisk(const std::string& path) {
  // Shared for writing too: the database connection holds the file open for writing, and a
  // handle that denied writing could not be opened beside it.
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH |
                                FILE_FLAG_NO_BUFFERING,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  int result = 0;
  if (!FlushFileBuffers(file)) result = static_cast<int>(GetLastError());
  CloseHandle(file);
  return result;
}

namespace testing {

bool DatabaseFolderAccessBuiltAsDocumented(bool grant_write, std::string* difference) {
  DatabaseFolderAcl built;
  if (!BuildDatabaseFolderAcl(grant_write, &built))
    return Mismatch(difference, "the access list could not be built");
  return AclIsDocumented(built.acl, grant_write, false, difference);
}

bool DatabaseFolderAccessReadsAsDocumented(const std::string& folder, bool grant_write,
                                           std::string* difference) {
  PACL acl = nullptr;
  LocalMemory descriptor;
  if (GetNamedSecurityInfoW(Wide(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &acl, nullptr,
                            reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory)) !=
      ERROR_SUCCESS)
    return Mismatch(difference, "GetNamedSecurityInfoW failed on " + folder);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor.memory, &control, &revision))
    return Mismatch(difference, "GetSecurityDescriptorControl failed");
  if (!(control & SE_DACL_PROTECTED)) return Mismatch(difference, "the list is not protected");
  return AclIsDocumented(acl, grant_write, true, difference);
}

}  // namespace testing
}  // namespace platform
