// The platform seam: everything the system asks of the operating system and its run-time
// library. Two complete backends implement it, platform/win32 and platform/posix; CMake builds
// exactly one of them. Nothing outside platform/ includes a system header of its own or tests
// which platform it runs on.
//
// Conventions:
// - Paths and names are UTF-8. The Win32 backend converts to UTF-16 right at each call and back
//   for names the system returns; the POSIX backend uses the bytes as they stand.
// - Functions that can fail return a system error code: 0 for success, otherwise the value of
//   GetLastError (Win32) or errno (POSIX) taken right after the failing call. Callers print it
//   in their reports and never interpret it beyond the few named constants below.
// - Out-parameters are written only on success unless a comment says otherwise.
#ifndef QEM_PLATFORM_PLATFORM_H_
#define QEM_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Text conversion between UTF-8 and UTF-16.

// Both directions replace what cannot be converted (invalid UTF-8, lone surrogates) by U+FFFD,
// as the Win32 conversion functions do without flags. UTF-16 is held in char16_t on every
// platform; the Win32 backend hands it to the system as wchar_t (same size and encoding there).
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

// ---------------------------------------------------------------------------------------------
// Paths.

// The separator the system's own paths use between folder names: "\" on Windows, "/" on POSIX.
extern const char kPathSeparator[];

// Splits a path with the run-time path splitter into its drive part (Windows: "C:", POSIX:
// always empty) and its folder part, which keeps its trailing separator. The file name and
// extension are dropped. Never overflows: parts longer than the splitter's fixed limits
// (drive 3, folder 256 UTF-16 units with terminator) make the call fail with false.
bool SplitPath(const std::string& path, std::string* drive, std::string* folder);

// The absolute form of a path by the platform's rules (GetFullPathNameW, room for 1024 UTF-16
// units; POSIX: joined with the current folder and "." and ".." resolved lexically).
bool FullPath(const std::string& path, std::string* absolute);

// ---------------------------------------------------------------------------------------------
// Process facts and environment.

// The process id (GetCurrentProcessId / getpid), unless a test has overridden it.
uint32_t ProcessId();

// The program file (GetModuleFileNameW, room for 1024 UTF-16 units; POSIX: /proc/self/exe).
bool ProgramFile(std::string* path);

// The current folder (GetCurrentDirectoryW, room for 1024 UTF-16 units; POSIX: getcwd).
bool CurrentFolder(std::string* path);

// The user's temporary folder as the system reports it (GetTempPathW, room for 1024 UTF-16
// units, with its trailing backslash; POSIX: $TMPDIR, else "/tmp", as it stands).
bool TempFolder(std::string* path);

// Process environment variables (GetEnvironmentVariableA / SetEnvironmentVariableA on Windows,
// so that a value set here is what a later read sees; getenv / setenv on POSIX).
// GetEnv answers false when the variable is absent.
bool GetEnv(const char* name, std::string* value);
bool SetEnv(const char* name, const char* value);

// The current local time, broken down, unless a test has overridden it.
std::tm LocalTimeNow();

// Sends one text to the debugger output channel (OutputDebugStringA; POSIX: standard error).
void DebugOutput(const char* text);

// ---------------------------------------------------------------------------------------------
// Known machine-wide folders.

// The shell folders the system uses, by their Windows CSIDL numbers.
enum ShellFolder : int {
  kCommonAppData = 0x23,             // CSIDL_COMMON_APPDATA
  kCommonProgramFiles = 0x2B,        // CSIDL_PROGRAM_FILES_COMMON
  kCommonProgramFilesX86 = 0x2C,     // CSIDL_PROGRAM_FILES_COMMONX86
};

// The path of a shell folder, created when it is missing (SHGetFolderPathW with
// CSIDL_FLAG_CREATE and SHGFP_TYPE_CURRENT). On POSIX every shell folder is a folder under one
// machine root, named by the environment variable "QemSystemRoot" (default kDefaultSystemRoot):
//   kCommonProgramFiles     <root>/Program Files/Common Files
//   kCommonProgramFilesX86  <root>/Program Files (x86)/Common Files
//   kCommonAppData          <root>/ProgramData
// The lookup fails when the folder cannot be made (for example a file stands in its place).
bool ShellFolderPath(ShellFolder folder, std::string* path);

// The same folder found through its item id list (SHGetFolderLocation, then
// SHGetPathFromIDListW), without creating it. POSIX: the same path as above, but only when the
// folder exists.
bool ShellFolderPathByLocation(ShellFolder folder, std::string* path);

// POSIX only: the machine root used when "QemSystemRoot" is not set.
extern const char kDefaultSystemRoot[];

// ---------------------------------------------------------------------------------------------
// File and folder operations of the run-time library.

// What a status query tells about a path or an open file.
struct FileFacts {
  bool is_regular = false;
  bool is_folder = false;
  bool is_link = false;       // a symbolic link (POSIX; never set on Windows)
  uint64_t link_count = 0;    // hard links
  uint64_t size = 0;          // bytes, 64-bit on both targets
  int64_t modified = 0;       // seconds since the epoch
};

// Access tests (_waccess / access). Existence is true for files and folders alike.
bool PathExists(const std::string& path);
bool PathIsReadable(const std::string& path);
bool PathIsWritable(const std::string& path);

// Status of a path (_wstat64 / lstat: a symbolic link is described, not followed).
// Returns 0 or a run-time error number (errno).
int StatPath(const std::string& path, FileFacts* facts);

// Removes a file (_wremove / remove); creates or removes one folder level (_wmkdir / mkdir,
// _wrmdir / rmdir). Each returns 0 or a run-time error number (errno); a path that cannot be
// converted for the system gives EINVAL.
int RemoveFile(const std::string& path);
int MakeFolder(const std::string& path);
int RemoveFolder(const std::string& path);

// Opens a C stream with a share mode that denies nothing (_wfsopen with _SH_DENYNO; POSIX
// streams deny nothing anyway), so other processes may read and write the file meanwhile.
// Modes are the fopen modes ("r", "a", "w", with "b" for binary; text mode writes CR LF on
// Windows). The final path component is never followed when it is a symbolic link. For a mode
// that empties the file ("w"), the file is opened without truncation first; when `check` is
// given it is called with the facts of the file actually opened, and only when it accepts them
// is the file emptied and the stream returned. A refused or failed open returns null.
using OpenedFileCheck = bool (*)(const FileFacts& opened, void* context);
std::FILE* OpenSharedStream(const std::string& path, const char* mode,
                            OpenedFileCheck check = nullptr, void* context = nullptr);

// ---------------------------------------------------------------------------------------------
// Files held open by handle, with byte-range locks.

// Error constants callers need to tell apart.
extern const int kErrorFileNotFound;   // ERROR_FILE_NOT_FOUND / ENOENT
extern const int kErrorAlreadyExists;  // ERROR_ALREADY_EXISTS / EEXIST
extern const int kErrorNoMoreFiles;    // ERROR_NO_MORE_FILES / end of a listing
extern const int kErrorRefused;        // the file is refused (a link where a file should be)

enum class FileDisposition {
  kOpenExisting,  // OPEN_EXISTING
  kOpenAlways,    // OPEN_ALWAYS: opened, or created when missing
  kCreateAlways,  // CREATE_ALWAYS: created, or emptied when present
};

enum class FileSecurity {
  kDefault,     // no security attributes: the folder's inherited access list
  kOpenToAll,   // a null DACL: everyone may do everything (POSIX: mode 0666, umask aside)
};

struct FileOpenOptions {
  bool write = false;            // GENERIC_READ, plus GENERIC_WRITE when set
  FileDisposition disposition = FileDisposition::kOpenExisting;
  FileSecurity security = FileSecurity::kDefault;
  bool hidden = false;           // FILE_ATTRIBUTE_HIDDEN on create; POSIX has no hidden files
  bool write_through = false;    // FILE_FLAG_WRITE_THROUGH
  // Refuse, with kErrorRefused, a path whose last component is a symbolic link, and for a
  // writable open a file with more than one hard link. POSIX checks the file actually opened.
  bool refuse_links = false;
};

// An open file, shared with other handles for reading, writing and deletion. Closes itself
// when destroyed; Close() reports the outcome instead.
class File {
 public:
  virtual ~File() = default;

  // One read or write call; `moved` receives the byte count actually transferred.
  virtual int Read(void* buffer, uint32_t size, uint32_t* moved) = 0;
  virtual int Write(const void* data, uint32_t size, uint32_t* moved) = 0;
  // Moves the file pointer to an offset from the start; `position` receives the new one.
  virtual int Seek(uint64_t offset, uint64_t* position) = 0;
  virtual int SetEndOfFile() = 0;      // cuts the file at the file pointer
  virtual int Size(uint64_t* size) = 0;
  virtual int Flush() = 0;             // FlushFileBuffers / fsync
  virtual int Facts(FileFacts* facts) = 0;
  // Whether `path` still leads to this open file: false once the file was removed, or is being
  // removed, while this handle was open. POSIX: the path names the same inode and the file has a
  // link; Windows: the file has a link and a fresh open of the path succeeds (an open of a file
  // whose deletion is pending fails).
  virtual bool IsAt(const std::string& path) = 0;

  // Byte-range locks that wait, without a time-out, until they are granted (LockFileEx with a
  // zeroed OVERLAPPED; POSIX: open-file-description locks, which belong to this handle as
  // Windows locks do). A length of 0 is refused with EINVAL / ERROR_INVALID_PARAMETER: some
  // systems take it as the whole file.
  virtual int LockShared(uint64_t offset, uint64_t length) = 0;
  virtual int LockExclusive(uint64_t offset, uint64_t length) = 0;
  virtual int Unlock(uint64_t offset, uint64_t length) = 0;

  virtual int Close() = 0;             // closing twice is harmless
};

// Opens or creates a file (CreateFileW with sharing for read, write and delete).
int OpenFile(const std::string& path, const FileOpenOptions& options,
             std::unique_ptr<File>* file);

// Replaces `target` by `source` in one step and makes the move durable (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; POSIX: rename, then fsync of the folder).
int ReplaceFile(const std::string& source, const std::string& target);

// ---------------------------------------------------------------------------------------------
// Folders.

struct FolderEntry {
  std::string name;      // bare name, UTF-8
  bool is_folder = false;
};

// Lists a folder's entries in the system's order, "." and ".." included where the system
// reports them (FindFirstFileW / FindNextFileW on "<folder>\*"). `start_failed` tells whether
// the listing could not begin (true) or broke off later (false); on failure `entries` holds
// what was read before.
int ListFolder(const std::string& folder, std::vector<FolderEntry>* entries,
               bool* start_failed);

// Creates one folder level whose only explicit access entry grants Everyone (S-1-1-0) full
// control (0x101FFFFF), SET_ACCESS, inherited by sub-folders and files (CreateDirectoryW with
// that access list). POSIX: mode 0777 with the sticky bit off, set explicitly past the umask.
int CreateFolderOpenToAll(const std::string& path);

// ---------------------------------------------------------------------------------------------
// Database folders.

// Appends `name` to `folder` by the platform's path rules and drops a trailing separator from
// the result (PathAppendW into a buffer of MAX_PATH units, then PathRemoveBackslashW; POSIX:
// exactly one "/" between the parts, leading "/" of `name` skipped, a trailing "/" removed
// unless the result is "/"). False when the platform refuses the join, for example when the
// result does not fit in MAX_PATH.
bool AppendToPath(const std::string& folder, const std::string& name, std::string* joined);

// The last component of a path, as PathStripPathW leaves it: the text after the last "\", "/"
// or ":" that is followed by a name (so "a\b\" gives "b\"); the whole path when there is none.
// POSIX: the same with "/" as the only separator.
std::string LastPathComponent(const std::string& path);

// Creates a folder and any missing parents (SHCreateDirectoryExW without security attributes:
// the new folders inherit their parent's access list; POSIX: mkdir of each missing level with
// mode 0777 before the umask). Returns 0 or the system error code; a folder that exists
// already gives kErrorAlreadyExists. Windows wants an absolute path.
int MakeFolderTree(const std::string& path);

// Replaces the access list of a database folder by a protected list of exactly two entries,
// both granted and inherited by files and sub-folders:
//   Administrators (S-1-5-32-544): GENERIC_ALL;
//   Everyone (S-1-1-0): GENERIC_READ, or with `grant_write` GENERIC_READ | GENERIC_WRITE |
//   FILE_DELETE_CHILD (0xC0000040).
// The owner, group and old list are read first; when that fails nothing is changed.
// POSIX has no access lists; the nearest mode bits stand in for them: the folder gets 0777
// with `grant_write` (everyone may create, write and remove files; sticky bit off), else 0755,
// and, because POSIX folders pass nothing on to their contents, the regular files directly in
// the folder (symbolic links skipped) get 0666 or 0644, so that the database file is writable
// by the same users as on Windows. The owner's bits stand for Administrators.
// Every failure is ignored: the call only ever improves access.
void SetDatabaseFolderAccess(const std::string& folder, bool grant_write);

// Forces a file's data to disk: opens it for writing, write-through and unbuffered
// (CreateFileW with GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
// FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING), flushes it (FlushFileBuffers) and closes
// it. The file is shared for reading and writing so that the open succeeds while a database
// connection holds the file. POSIX: open (created when missing, 0666 before the umask), fsync,
// close. Returns 0 or the first system error code.
int ForceFileToDisk(const std::string& path);

namespace testing {
// Whether the access that SetDatabaseFolderAccess(…, grant_write) builds is exactly the one
// documented above, checked on the list as built in memory before it is applied (Windows), or
// on the modes as computed (POSIX). `difference` (optional) describes the first mismatch.
bool DatabaseFolderAccessBuiltAsDocumented(bool grant_write, std::string* difference);
// The same check on what the system reads back from `folder` (GetNamedSecurityInfoW: the list
// must be protected and hold the two entries; POSIX: the modes of the folder and of its
// regular files). Wine does not store access lists: callers skip this under Wine.
bool DatabaseFolderAccessReadsAsDocumented(const std::string& folder, bool grant_write,
                                           std::string* difference);
}  // namespace testing

// ---------------------------------------------------------------------------------------------
// Keyed hashing.

// HMAC-SHA256 of `data` under `key` into 32 bytes (BCrypt on Windows, libcrypto on POSIX).
// Returns false only when the system's implementation fails.
bool HmacSha256(const void* key, size_t key_size, const void* data, size_t data_size,
                unsigned char mac[32]);

// ---------------------------------------------------------------------------------------------
// A recursive mutex: the thread that holds it may lock it again (a critical section on
// Windows).
class RecursiveMutex {
 public:
  RecursiveMutex();
  ~RecursiveMutex();
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  void Lock();
  void Unlock();

 private:
  struct State;
  State* state_;
};

// ---------------------------------------------------------------------------------------------
// Test hooks: fixed values in place of the clock and the process id. Pass null to restore.
namespace testing {
void SetLocalTime(const std::tm* fixed);
void SetProcessId(const uint32_t* fixed);
// True when the Windows build runs under Wine, which does not emulate every system behaviour;
// tests skip what it cannot do, with the reason.
bool RunningUnderWine();
}  // namespace testing

}  // namespace platform

#endif  // QEM_PLATFORM_PLATFORM_H_
