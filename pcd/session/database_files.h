// Files and folders of the product configuration databases. All texts are UTF-8; the platform
// seam converts them for the system.
#ifndef QEM_PCD_SESSION_DATABASE_FILES_H_
#define QEM_PCD_SESSION_DATABASE_FILES_H_

#include <string>

namespace pcd {

// The folder that holds the configuration databases' own folder: the common program files
// folder, one trailing separator removed, with "\Kymra" appended ("/Kymra" on POSIX). The
// folder is asked for through its item id list first and, when that fails, by path.
//
// Which common program files folder: our Windows build is a 64-bit program, and in a 64-bit
// process CSIDL_PROGRAM_FILES_COMMON (0x2B) names the native "C:\Program Files\Common Files",
// whereas the suite's 32-bit programs, asking for the same folder, are redirected to
// "C:\Program Files (x86)\Common Files". The database files are shared with those programs,
// so we ask for CSIDL_PROGRAM_FILES_COMMONX86 (0x2C), which gives a 64-bit process exactly the
// folder a 32-bit one sees: the cache database is
// "C:\Program Files (x86)\Common Files\Kymra\Kymra PCD\cache\cache.db". (On POSIX the same
// name lies under the machine root: "<root>/Program Files (x86)/Common Files/Kymra/...".)
// False when no folder is obtained.
bool GetKymraCommonFolder(std::string* folder);

// Joins a folder and a name with the platform's path append (one separator between them) and
// removes a trailing separator. The folder is returned unchanged when the name is empty.
// False when the two texts together are longer than 260 UTF-16 units, or when the platform
// refuses the join.
bool JoinPath(const std::string& folder, const std::string& name, std::string* joined);

// The folder part of a path: the text before its last component, with one trailing "/" or
// "\" removed when at least two characters remain; "." when the path is a bare name.
std::string ParentFolder(const std::string& path);

// Creates the folder and every missing parent, one level at a time from the first one that
// exists. 0 when the folder exists at the end (also when another process made a level first);
// 4 (PCD_ERR_IO) when a file stands where a folder is needed or a level cannot be created.
int CreateFolderTree(const std::string& path);

// Gives the folder its protected access list of two entries (Administrators: full control;
// Everyone: read, and with `grant_write` also write and delete children), inherited by the
// files inside. Failures are ignored; always 0.
int SetFolderAccess(const std::string& folder, bool grant_write);

// Opens the file write-through and unbuffered and flushes it to disk; failures are ignored.
void FlushFileToDisk(const std::string& path);

}  // namespace pcd

#endif  // QEM_PCD_SESSION_DATABASE_FILES_H_
