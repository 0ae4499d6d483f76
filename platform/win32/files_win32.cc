// Files through the C run-time (_waccess, _wstat64, _wfsopen...) and through Win32 handles
// (CreateFileW, byte-range locks, MoveFileExW).
#include <windows.h>
// <windows.h> renames ReplaceFile to ReplaceFileW; the seam's ReplaceFile is meant here.
#undef ReplaceFile

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/win32/text_win32.h"

namespace platform {

const int kErrorFileNotFound = ERROR_FILE_NOT_FOUND;
const int kErrorAlreadyExists = ERROR_ALREADY_EXISTS;
const int kErrorNoMoreFiles = ERROR_NO_MORE_FILES;
// "The file cannot be accessed by the system": what a link where a file should be amounts to.
const int kErrorRefused = ERROR_CANT_ACCESS_FILE;

namespace {

// GetLastError after a failed call, never 0 (a call may fail without setting it).
int LastError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Seconds since the epoch from a FILETIME (100 ns units since 1601).
int64_t FileTimeToSeconds(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (static_cast<int64_t>(ticks) - INT64_C(116444736000000000)) / 10000000;
}

void FactsFromStat(const struct _stat64& status, FileFacts* facts) {
  FileFacts read;
  read.is_regular = (status.st_mode & _S_IFMT) == _S_IFREG;
  read.is_folder = (status.st_mode & _S_IFMT) == _S_IFDIR;
  read.link_count = static_cast<uint64_t>(status.st_nlink);
  read.size = static_cast<uint64_t>(status.st_size);
  read.modified = static_cast<int64_t>(status.st_mtime);
  *facts = read;
}

int HandleFacts(HANDLE handle, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastError();
  FileFacts read;
  read.is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  read.is_regular = !read.is_folder && GetFileType(handle) == FILE_TYPE_DISK;
  read.link_count = info.nNumberOfLinks;
  read.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  read.modified = FileTimeToSeconds(info.ftLastWriteTime);
  *facts = read;
  return 0;
}

// The facts of the file behind an open stream: the run-time's status, with the count of hard
// links taken from the handle (the run-time does not count them).
int StreamFacts(std::FILE* stream, FileFacts* facts) {
  const int descriptor = _fileno(stream);
  struct _stat64 status;
  if (_fstat64(descriptor, &status) != 0) return errno;
  FileFacts read;
  FactsFromStat(status, &read);
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return EIO;
  read.link_count = info.nNumberOfLinks;
  *facts = read;
  return 0;
}

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { Close(); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  int Read(void* buffer, uint32_t size, uint32_t* moved) override {
    DWORD done = 0;
    if (!ReadFile(handle_, buffer, size, &done, nullptr)) return LastError();
    if (moved) *moved = done;
    return 0;
  }

  int Write(const void* data, uint32_t size, uint32_t* moved) override {
    DWORD done = 0;
    if (!WriteFile(handle_, data, size, &done, nullptr)) return LastError();
    if (moved) *moved = done;
    return 0;
  }

  int Seek(uint64_t offset, uint64_t* position) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return ERROR_NEGATIVE_SEEK;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    LARGE_INTEGER reached;
    if (!SetFilePointerEx(handle_, distance, &reached, FILE_BEGIN)) return LastError();
    if (position) *position = static_cast<uint64_t>(reached.QuadPart);
    return 0;
  }

  int SetEndOfFile() override { return ::SetEndOfFile(handle_) ? 0 : LastError(); }

  int Size(uint64_t* size) override {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(handle_, &length)) return LastError();
    if (size) *size = static_cast<uint64_t>(length.QuadPart);
    return 0;
  }

  int Flush() override { return FlushFileBuffers(handle_) ? 0 : LastError(); }

  int Facts(FileFacts* facts) override { return HandleFacts(handle_, facts); }

  bool IsAt(const std::string& path) override {
    FileFacts facts;
    if (HandleFacts(handle_, &facts) != 0 || facts.link_count == 0) return false;
    FileOpenOptions options;
    options.refuse_links = true;
    std::unique_ptr<File> probe;
    return OpenFile(path, options, &probe) == 0;
  }

  int LockShared(uint64_t offset, uint64_t length) override { return Lock(0, offset, length); }

  int LockExclusive(uint64_t offset, uint64_t length) override {
    return Lock(LOCKFILE_EXCLUSIVE_LOCK, offset, length);
  }

  int Unlock(uint64_t offset, uint64_t length) override {
    if (length == 0) return ERROR_INVALID_PARAMETER;
    OVERLAPPED overlapped = Range(offset);
    if (!UnlockFileEx(handle_, 0, Low(length), High(length), &overlapped)) return LastError();
    return 0;
  }

  int Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return 0;
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed ? 0 : LastError();
  }

 private:
  static DWORD Low(uint64_t value) { return static_cast<DWORD>(value & 0xFFFFFFFFu); }
  static DWORD High(uint64_t value) { return static_cast<DWORD>(value >> 32); }

  // A zeroed OVERLAPPED carrying only the offset: without an event the call waits on the
  // (synchronous) handle itself until the lock is granted.
  static OVERLAPPED Range(uint64_t offset) {
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.Offset = Low(offset);
    overlapped.OffsetHigh = High(offset);
    return overlapped;
  }

  int Lock(DWORD flags, uint64_t offset, uint64_t length) {
    // Wine takes a zero-length range at offset 0 as the whole file; Windows locks nothing.
    if (length == 0) return ERROR_INVALID_PARAMETER;
    OVERLAPPED overlapped = Range(offset);
    if (!LockFileEx(handle_, flags, 0, Low(length), High(length), &overlapped)) {
      return LastError();
    }
    return 0;
  }

  HANDLE handle_;
};

// Attributes a file overwritten by CREATE_ALWAYS is refused for when they are not asked for.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Does to an existing file, opened with OPEN_ALWAYS, what CREATE_ALWAYS would have done:
// refuse it when it is hidden or a system file and the caller did not ask for that, add the
// requested attributes, and empty it.
int OverwriteExisting(HANDLE handle, DWORD requested_attributes) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return LastError();
  }
  if ((basic.FileAttributes & kKeptAttributes) & ~requested_attributes) {
    return ERROR_ACCESS_DENIED;
  }
  const DWORD added = (requested_attributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
  if ((basic.FileAttributes & added) != added) {
    basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_NORMAL) | added;
    // Zero times leave the file's times as they are.
    basic.CreationTime.QuadPart = 0;
    basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = 0;
    basic.ChangeTime.QuadPart = 0;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
      return LastError();
    }
  }
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
    return LastError();
  }
  return 0;
}

}  // namespace

bool PathExists(const std::string& path) {
  std::wstring wide;
  return win32::ToSystem(path, &wide) && _waccess(wide.c_str(), 0) == 0;
}

bool PathIsReadable(const std::string& path) {
  std::wstring wide;
  return win32::ToSystem(path, &wide) && _waccess(wide.c_str(), 4) == 0;
}

bool PathIsWritable(const std::string& path) {
  std::wstring wide;
  return win32::ToSystem(path, &wide) && _waccess(wide.c_str(), 2) == 0;
}

int StatPath(const std::string& path, FileFacts* facts) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return EINVAL;
  // The run-time refuses a folder named with a trailing separator unless it is a root
  // ("C:\", "\"); the seam describes the folder either way, as stat does.
  while (wide.size() > 1 && IsSeparator(wide.back()) && wide[wide.size() - 2] != L':') {
    wide.pop_back();
  }
  struct _stat64 status;
  if (_wstat64(wide.c_str(), &status) != 0) return errno;
  FileFacts read;
  FactsFromStat(status, &read);
  // The run-time finds a file by its name only and reports one link for every file; the
  // count of hard links comes from the file itself, opened for no access at all.
  if (read.is_regular) {
    const HANDLE handle = CreateFileW(wide.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info;
      if (GetFileInformationByHandle(handle, &info)) read.link_count = info.nNumberOfLinks;
      CloseHandle(handle);
    }
  }
  *facts = read;
  return 0;
}

int RemoveFile(const std::string& path) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return EINVAL;
  return _wremove(wide.c_str()) == 0 ? 0 : errno;
}

int MakeFolder(const std::string& path) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return EINVAL;
  return _wmkdir(wide.c_str()) == 0 ? 0 : errno;
}

int RemoveFolder(const std::string& path) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return EINVAL;
  return _wrmdir(wide.c_str()) == 0 ? 0 : errno;
}

std::FILE* OpenSharedStream(const std::string& path, const char* mode, OpenedFileCheck check,
                            void* context) {
  std::wstring wide_path;
  if (mode == nullptr || !win32::ToSystem(path, &wide_path)) {
    errno = EINVAL;
    return nullptr;
  }
  const std::wstring wide_mode = win32::Widen(mode, std::strlen(mode));

  // The run-time opener follows a symbolic link (a reparse point) in the final component; one
  // found there is refused before the open. (A link put in place between this look and the
  // open is not caught; making one takes a privilege on Windows.)
  const DWORD attributes = GetFileAttributesW(wide_path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    errno = EACCES;
    return nullptr;
  }

  const bool empties = mode[0] == 'w';
  std::FILE* stream = nullptr;
  if (empties) {
    // _wfsopen would empty the file before it can be looked at. Open the descriptor with the
    // same share mode but without truncation, and empty it once the check has accepted it.
    int flags = _O_CREAT | (std::strchr(mode, '+') ? _O_RDWR : _O_WRONLY);
    if (std::strchr(mode, 'b')) {
      flags |= _O_BINARY;
    } else if (std::strchr(mode, 't')) {
      flags |= _O_TEXT;
    }
    int descriptor = -1;
    if (_wsopen_s(&descriptor, wide_path.c_str(), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
      return nullptr;
    }
    stream = _wfdopen(descriptor, wide_mode.c_str());
    if (stream == nullptr) {
      const int error = errno;
      _close(descriptor);
      errno = error;
      return nullptr;
    }
  } else {
    stream = _wfsopen(wide_path.c_str(), wide_mode.c_str(), _SH_DENYNO);
    if (stream == nullptr) return nullptr;
  }

  if (check != nullptr) {
    FileFacts facts;
    const int error = StreamFacts(stream, &facts);
    if (error != 0 || !check(facts, context)) {
      std::fclose(stream);
      errno = error != 0 ? error : EACCES;
      return nullptr;
    }
  }
  if (empties) {
    const errno_t error = _chsize_s(_fileno(stream), 0);
    if (error != 0) {
      std::fclose(stream);
      errno = error;
      return nullptr;
    }
  }
  return stream;
}

int OpenFile(const std::string& path, const FileOpenOptions& options,
             std::unique_ptr<File>* file) {
  std::wstring wide;
  if (!win32::ToSystem(path, &wide)) return ERROR_INVALID_NAME;

  const DWORD access = GENERIC_READ | (options.write ? GENERIC_WRITE : 0);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = OPEN_EXISTING;
  switch (options.disposition) {
    case FileDisposition::kOpenExisting: disposition = OPEN_EXISTING; break;
    case FileDisposition::kOpenAlways: disposition = OPEN_ALWAYS; break;
    case FileDisposition::kCreateAlways: disposition = CREATE_ALWAYS; break;
  }
  // A file that may yet be refused must not be emptied before it is looked at: when links are
  // refused, CREATE_ALWAYS is done as OPEN_ALWAYS and the overwrite follows the check.
  const bool overwrite_after_check = options.refuse_links && disposition == CREATE_ALWAYS;
  if (overwrite_after_check) disposition = OPEN_ALWAYS;

  const DWORD requested_attributes = options.hidden ? FILE_ATTRIBUTE_HIDDEN : 0;
  DWORD flags = options.hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
  if (options.write_through) flags |= FILE_FLAG_WRITE_THROUGH;
  // Opens a link itself rather than what it points to, so that it can be seen and refused.
  if (options.refuse_links) flags |= FILE_FLAG_OPEN_REPARSE_POINT;

  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES security;
  SECURITY_ATTRIBUTES* security_used = nullptr;
  if (options.security == FileSecurity::kOpenToAll) {
    // A present but null DACL: no access check at all.
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
      return LastError();
    }
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = &descriptor;
    security.bInheritHandle = TRUE;
    security_used = &security;
  }

  const HANDLE handle =
      CreateFileW(wide.c_str(), access, share, security_used, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  std::unique_ptr<File> opened(new Win32File(handle));

  if (options.refuse_links) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return LastError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (options.write && info.nNumberOfLinks > 1)) {
      return kErrorRefused;
    }
  }
  if (overwrite_after_check && existed) {
    const int error = OverwriteExisting(handle, requested_attributes);
    if (error != 0) return error;
  }
  *file = std::move(opened);
  return 0;
}

int ReplaceFile(const std::string& source, const std::string& target) {
  std::wstring wide_source;
  std::wstring wide_target;
  if (!win32::ToSystem(source, &wide_source) || !win32::ToSystem(target, &wide_target)) {
    return ERROR_INVALID_NAME;
  }
  if (!MoveFileExW(wide_source.c_str(), wide_target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastError();
  }
  return 0;
}

}  // namespace platform
