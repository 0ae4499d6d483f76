// Probes that platform_test.cc uses where a backend can look deeper than the seam does; not
// part of the seam. A backend-specific probe file linked into the test sets its probe at
// start-up; where none is linked the probe stays null.
#ifndef QEM_PLATFORM_PLATFORM_TEST_PROBES_H_
#define QEM_PLATFORM_PLATFORM_TEST_PROBES_H_

#include <string>

namespace platform_test {

// The access list of a folder as the system stores it.
struct FolderAccess {
  bool has_list = false;                  // a DACL is present (a null DACL would not be)
  bool is_protected = false;              // the folder's parent's entries are blocked
  int explicit_entries = 0;               // entries set on the folder itself, not inherited
  int explicit_everyone = 0;              // of those, entries allowing Everyone (S-1-1-0)
  bool everyone_full_control = false;     // they give Everyone every right on the folder
  bool passed_to_folders_and_files = false;  // they are inherited by sub-folders and files
};

// Reads a folder's access list back; returns 0 or the system's error code.
using FolderAccessReader = int (*)(const std::string& path, FolderAccess* access);

// Set by platform/win32/access_probe_win32.cc; null where no access lists exist.
extern FolderAccessReader g_folder_access_reader;

}  // namespace platform_test

#endif  // QEM_PLATFORM_PLATFORM_TEST_PROBES_H_
