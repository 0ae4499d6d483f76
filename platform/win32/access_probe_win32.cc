// The seam's test reads back, on Windows, the access list that CreateFolderOpenToAll stores.
// Linked into platform_test only.
#include <windows.h>
#include <aclapi.h>

#include <memory>
#include <string>

#include "platform/platform_test_probes.h"
#include "platform/win32/text_win32.h"

namespace {

struct LocalMemoryFree {
  void operator()(void* memory) const { LocalFree(memory); }
};
struct SidFree {
  void operator()(void* sid) const { FreeSid(sid); }
};

int ReadFolderAccess(const std::string& path, platform_test::FolderAccess* access) {
  std::wstring wide;
  if (!platform::win32::ToSystem(path, &wide)) return ERROR_INVALID_NAME;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                           nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return static_cast<int>(read);
  const std::unique_ptr<void, LocalMemoryFree> owned_descriptor(descriptor);

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone_sid = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                &everyone_sid)) {
    return static_cast<int>(GetLastError());
  }
  const std::unique_ptr<void, SidFree> everyone(everyone_sid);

  platform_test::FolderAccess found;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    found.is_protected = (control & SE_DACL_PROTECTED) != 0;
  }
  found.has_list = list != nullptr;
  GENERIC_MAPPING file_mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
  for (DWORD index = 0; list != nullptr && index < list->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(list, index, &entry)) return static_cast<int>(GetLastError());
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERITED_ACE) continue;
    ++found.explicit_entries;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (!EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone.get())) continue;
    ++found.explicit_everyone;
    // The system may store the generic right as given, or split it into an entry with the
    // rights mapped for the folder and an inherit-only entry for its children.
    DWORD rights = allowed->Mask;
    MapGenericMask(&rights, &file_mapping);
    if (!(header->AceFlags & INHERIT_ONLY_ACE) && (rights & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
      found.everyone_full_control = true;
    }
    const BYTE both = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if ((header->AceFlags & both) == both && (rights & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
      found.passed_to_folders_and_files = true;
    }
  }
  *access = found;
  return 0;
}

struct Registration {
  Registration() { platform_test::g_folder_access_reader = &ReadFolderAccess; }
} registration;

}  // namespace
