// Files for POSIX: access tests, status, streams that deny nothing, and files held by handle
// with byte-range locks.
//
// Locks are open-file-description locks (F_OFD_SETLKW): like Windows locks they belong to the
// open handle, so two handles of one process exclude each other and closing one descriptor does
// not drop the locks of another. (Classic fcntl locks belong to the process and vanish when any
// descriptor of the file is closed.) They are advisory: only processes that lock are excluded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

const int kErrorFileNotFound = ENOENT;
const int kErrorAlreadyExists = EEXIST;
const int kErrorNoMoreFiles = ENOENT;  // a listing has no end code of its own on POSIX
const int kErrorRefused = ELOOP;

namespace {

// A path with a NUL byte inside cannot be handed to the system: it would name another file.
bool Unusable(const std::string& path) { return path.find('\0') != std::string::npos; }

FileFacts FactsOf(const struct stat& st) {
  FileFacts facts;
  facts.is_regular = S_ISREG(st.st_mode);
  facts.is_folder = S_ISDIR(st.st_mode);
  facts.is_link = S_ISLNK(st.st_mode);
  facts.link_count = static_cast<uint64_t>(st.st_nlink);
  facts.size = static_cast<uint64_t>(st.st_size);
  facts.modified = static_cast<int64_t>(st.st_mtime);
  return facts;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { Close(); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  // The size the open's own fstat saw, for the first Size() call.
  void RememberSizeAtOpen(off_t size) { size_seen_at_open_ = size; }

  int Read(void* buffer, uint32_t size, uint32_t* moved) override {
    size_seen_at_open_ = kUnknown;
    *moved = 0;
    // One call may return less than asked; keep reading until the end of the file or an error,
    // as ReadFile on a disk file does.
    auto* out = static_cast<char*>(buffer);
    while (*moved < size) {
      const ssize_t n = ::read(fd_, out + *moved, size - *moved);
      if (n < 0) {
        if (errno == EINTR) continue;
        position_ = kUnknown;
        return errno;
      }
      if (n == 0) break;
      *moved += static_cast<uint32_t>(n);
    }
    Advance(*moved);
    return 0;
  }

  int Write(const void* data, uint32_t size, uint32_t* moved) override {
    size_seen_at_open_ = kUnknown;
    *moved = 0;
    const auto* in = static_cast<const char*>(data);
    while (*moved < size) {
      const ssize_t n = ::write(fd_, in + *moved, size - *moved);
      if (n < 0) {
        if (errno == EINTR) continue;
        position_ = kUnknown;
        return errno;
      }
      *moved += static_cast<uint32_t>(n);
    }
    Advance(*moved);
    return 0;
  }

  int Seek(uint64_t offset, uint64_t* position) override {
    size_seen_at_open_ = kUnknown;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) {
      position_ = kUnknown;
      return errno;
    }
    position_ = at;
    if (position) *position = static_cast<uint64_t>(at);
    return 0;
  }

  int SetEndOfFile() override {
    size_seen_at_open_ = kUnknown;
    off_t at = position_;
    if (at == kUnknown && (at = ::lseek(fd_, 0, SEEK_CUR)) < 0) return errno;
    return ::ftruncate(fd_, at) == 0 ? 0 : errno;
  }

  int Size(uint64_t* size) override {
    if (size_seen_at_open_ != kUnknown) {
      // Nothing was done through this handle since the open: its fstat answers as if this
      // call had been made then, which saves the store a system call before every lock.
      *size = static_cast<uint64_t>(size_seen_at_open_);
      size_seen_at_open_ = kUnknown;
      return 0;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  int Flush() override {
    size_seen_at_open_ = kUnknown;
    return ::fsync(fd_) == 0 ? 0 : errno;
  }

  int Facts(FileFacts* facts) override {
    size_seen_at_open_ = kUnknown;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    *facts = FactsOf(st);
    return 0;
  }

  bool IsAt(const std::string& path) override {
    size_seen_at_open_ = kUnknown;
    struct stat mine;
    struct stat named;
    if (Unusable(path) || ::fstat(fd_, &mine) != 0 || mine.st_nlink == 0 ||
        ::lstat(path.c_str(), &named) != 0)
      return false;
    return named.st_dev == mine.st_dev && named.st_ino == mine.st_ino;
  }

  int LockShared(uint64_t offset, uint64_t length) override {
    return SetLock(F_RDLCK, offset, length);
  }
  int LockExclusive(uint64_t offset, uint64_t length) override {
    return SetLock(F_WRLCK, offset, length);
  }
  int Unlock(uint64_t offset, uint64_t length) override {
    return SetLock(F_UNLCK, offset, length);
  }

  int Close() override {
    size_seen_at_open_ = kUnknown;
    if (fd_ < 0) return 0;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  static constexpr off_t kUnknown = -1;

  // The file pointer is followed here so that cutting the file at it needs no lseek.
  void Advance(uint32_t moved) {
    if (position_ != kUnknown) position_ += moved;
  }

  int SetLock(short type, uint64_t offset, uint64_t length) {
    size_seen_at_open_ = kUnknown;  // after a lock, what others wrote before it must show
    // A zero length means "to the end of the file and beyond" to fcntl; never ask for that.
    if (length == 0) return EINVAL;
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    lock.l_pid = 0;  // required for open-file-description locks
    const int command = type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW;
    while (::fcntl(fd_, command, &lock) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  int fd_;
  off_t position_ = 0;  // a new descriptor starts at offset 0
  off_t size_seen_at_open_ = kUnknown;
};

int AccessCheck(const std::string& path, int mode) {
  return Unusable(path) ? -1 : ::access(path.c_str(), mode);
}

// Opens are non-blocking so that a FIFO or device named like a file cannot hang them. Only a
// regular file (or, for streams, a folder, which fails later on its own) is then used; for those
// O_NONBLOCK changes nothing (reads and writes of a regular file always wait for the disk, and
// whether a lock waits depends on the lock command), so it is left set.
bool Usable(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode); }

}  // namespace

bool PathExists(const std::string& path) { return AccessCheck(path, F_OK) == 0; }
bool PathIsReadable(const std::string& path) { return AccessCheck(path, R_OK) == 0; }
bool PathIsWritable(const std::string& path) { return AccessCheck(path, W_OK) == 0; }

int StatPath(const std::string& path, FileFacts* facts) {
  if (Unusable(path)) return EINVAL;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  *facts = FactsOf(st);
  return 0;
}

int RemoveFile(const std::string& path) {
  if (Unusable(path)) return EINVAL;
  return std::remove(path.c_str()) == 0 ? 0 : errno;
}
int MakeFolder(const std::string& path) {
  if (Unusable(path)) return EINVAL;
  return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}
int RemoveFolder(const std::string& path) {
  if (Unusable(path)) return EINVAL;
  return ::rmdir(path.c_str()) == 0 ? 0 : errno;
}

std::FILE* OpenSharedStream(const std::string& path, const char* mode, OpenedFileCheck check,
                            void* context) {
  if (mode == nullptr || mode[0] == '\0' || Unusable(path)) {
    errno = EINVAL;
    return nullptr;
  }
  const bool plus = std::strchr(mode, '+') != nullptr;
  // O_NONBLOCK: a FIFO planted under the name must not hang the open (see Usable()).
  int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  bool empty_it = false;
  switch (mode[0]) {
    case 'r':
      flags |= plus ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      // Not O_TRUNC: the file is emptied only after the opened file has been checked.
      flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      empty_it = true;
      break;
    case 'a':
      flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !Usable(st) ||
      (check != nullptr && !check(FactsOf(st), context))) {
    ::close(fd);
    errno = EPERM;
    return nullptr;
  }
  if (empty_it && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  // fdopen wants the mode without the creation semantics, which open() has already applied.
  std::FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return stream;
}

int OpenFile(const std::string& path, const FileOpenOptions& options,
             std::unique_ptr<File>* file) {
  if (Unusable(path)) return EINVAL;
  // O_NONBLOCK: a FIFO planted under a document's name must not hang the open.
  int flags = (options.write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  // CREATE_ALWAYS empties the file only after the checks below, so a refused file is never cut.
  const bool empty_it = options.disposition == FileDisposition::kCreateAlways;
  if (options.disposition != FileDisposition::kOpenExisting) flags |= O_CREAT;
  if (options.refuse_links) flags |= O_NOFOLLOW;
  if (options.write_through) flags |= O_DSYNC;
  // A file open to everyone gets every permission the umask allows; the default keeps the
  // usual 0666 as well, since POSIX has no separate inherited access list.
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return errno == ELOOP && options.refuse_links ? kErrorRefused : errno;
  auto opened = std::make_unique<PosixFile>(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return kErrorRefused;
  if (options.refuse_links && options.write && st.st_nlink > 1) return kErrorRefused;
  if (empty_it && ::ftruncate(fd, 0) != 0) return errno;
  if (options.security == FileSecurity::kOpenToAll &&
      options.disposition != FileDisposition::kOpenExisting && (st.st_mode & 07777) != 0666 &&
      st.st_uid == ::geteuid()) {
    // Make a new file open to everyone whatever the umask, as a null DACL does.
    ::fchmod(fd, 0666);
  }
  opened->RememberSizeAtOpen(empty_it ? 0 : st.st_size);
  *file = std::move(opened);
  return 0;
}

int ReplaceFile(const std::string& source, const std::string& target) {
  if (Unusable(source) || Unusable(target)) return EINVAL;
  if (::rename(source.c_str(), target.c_str()) != 0) return errno;
  // The rename is durable only once the folder that holds both names is on disk.
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

}  // namespace platform
