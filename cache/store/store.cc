#include "cache/store/store.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "cache/document/report.h"
#include "platform/platform.h"
#include "util/paths.h"
#include "util/text.h"

const char kSLCacheFeaturesName[] = "__slc_features__";

namespace {

constexpr char kCacheFolderName[] = "SLCache";
constexpr char kFileExtension[] = ".slc";
constexpr size_t kFileExtensionLength = 4;
constexpr uint32_t kNoFileHeld = 0xFFFFFFFF;
// A handle whose file was removed while it waited for the lock is dropped and the file opened
// afresh; each retry follows a deletion by another process, so a few are plenty.
constexpr int kOpenAttempts = 50;

// The length of a lock that starts at offset 0: the size, at least one byte, at most what a
// 32-bit length holds.
uint32_t LockLength(uint64_t size) {
  if (size == 0) return 1;
  return size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

int DecodedValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '-') return 63;
  return -1;
}

// Reads the whole text of an open, locked file and strips its seal.
SLCacheStatus ReadContent(platform::File* file, const SLCacheSealingKey* key, std::string* text) {
  uint64_t size = 0;
  if (const int error = file->Size(&size)) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get the file size before reading, error code:%d.",
                  error);
    return kSLCacheFileReadFailed;
  }
  if (size == 0) {
    // Emptied (or removed) by another process while this one waited for the lock.
    SLCacheReport(kSLCacheReportInfo,
                  "Got empty string from the file, treating as file doesnot exist.");
    return kSLCacheNoDocument;
  }
  if (size > kSLCacheMaxDocumentSize) {
    SLCacheReport(kSLCacheReportInfo, "Document file too large to read: %llu bytes.",
                  static_cast<unsigned long long>(size));
    return kSLCacheFileReadFailed;
  }
  const uint32_t length = static_cast<uint32_t>(size);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[length + 1]);
  if (!buffer) {
    SLCacheReport(kSLCacheReportInfo,
                  "Failed to allocate memory while reading the document content from file, "
                  "error code:%d.",
                  ENOMEM);
    return kSLCacheOutOfMemory;
  }
  uint32_t moved = 0;
  if (const int error = file->Read(buffer.get(), length, &moved)) {
    SLCacheReport(kSLCacheReportInfo, "Failed read the file data, error code:%d.", error);
    return kSLCacheFileReadFailed;
  }
  if (moved != length) {
    SLCacheReport(kSLCacheReportInfo, "Short read of the file data: %u of %u bytes.", moved,
                  length);
    return kSLCacheFileReadFailed;
  }
  buffer[length] = '\0';
  return verifyAndStripSignature(key, buffer.get(), length, text);
}

}  // namespace

SLCacheStore::SLCacheStore() = default;
SLCacheStore::~SLCacheStore() = default;

SLCacheStatus SLCacheStore::prepare() {
  if (ready) return kSLCacheOk;
  std::unique_ptr<SLCacheSealingKey> key(new (std::nothrow) SLCacheSealingKey());
  if (!key) return kSLCacheOutOfMemory;
  const SLCacheStatus status = SLCacheLoadSealingKey(key.get());
  if (status != kSLCacheOk) return status;
  sealingState = std::move(key);
  ready = true;
  return kSLCacheOk;
}

void SLCacheStore::getCacheFolderPath(std::string* path) {
  char buffer[kPathBufferSize + 1] = {};
  if (GetMakerFolder(buffer, kKnownFolderProgramFilesX86View) == nullptr) {
    path->clear();
    return;
  }
  *path = std::string(buffer) + platform::kPathSeparator + kCacheFolderName;
}

std::string SLCacheStore::documentPath(const std::string& fileName) {
  std::string folder;
  getCacheFolderPath(&folder);
  return folder + platform::kPathSeparator + fileName;
}

SLCacheStatus SLCacheStore::createCacheFolder(const std::string& path) {
  if (!Utf8ToWide(path.c_str())) return kSLCacheFolderPathNotConvertible;
  const int error = platform::CreateFolderOpenToAll(path);
  if (error == 0) return kSLCacheOk;
  // Another process may have made it between our look and our attempt.
  platform::FileFacts facts;
  if (error == platform::kErrorAlreadyExists && platform::StatPath(path, &facts) == 0 &&
      facts.is_folder)
    return kSLCacheOk;
  SLCacheReport(kSLCacheReportError, "ERROR:Error in crateing SLCache folder: error code %d",
                error);
  return kSLCacheFolderNotCreated;
}

SLCacheStatus SLCacheStore::checkCacheStore() {
  std::string folder;
  getCacheFolderPath(&folder);
  if (!FileExists(folder.c_str())) {
    SLCacheReport(kSLCacheReportInfo, "cache store does not exits");
    return kSLCacheStoreMissing;
  }
  if (!FileIsWritable(folder.c_str())) {
    SLCacheReport(kSLCacheReportInfo, "Cache Store is not writable");
    return kSLCacheStoreNotWritable;
  }
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::listCacheFiles(std::vector<std::string>* names) {
  const SLCacheStatus check = checkCacheStore();
  if (check != kSLCacheOk) return check;
  std::string folder;
  getCacheFolderPath(&folder);
  if (!Utf8ToWide(folder.c_str())) {
    SLCacheReport(kSLCacheReportInfo, "Calloc failure, Failed to convert string to utf16.");
    return kSLCacheNoMemoryForObject;
  }
  std::vector<platform::FolderEntry> entries;
  bool startFailed = false;
  const int error = platform::ListFolder(folder, &entries, &startFailed);
  if (error != 0 && startFailed) {
    SLCacheReport(kSLCacheReportInfo, "Error while iterating through slstore: error code %d.",
                  error);
    return kSLCacheStoreNotListed;
  }
  if (error != 0 && error != platform::kErrorNoMoreFiles) {
    SLCacheReport(kSLCacheReportError, "ERROR:Error while iterating through slstore: error code %d",
                  error);
    return kSLCacheStoreNotListed;
  }
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_folder || entry.name == "." || entry.name == "..") continue;
    names->push_back(entry.name);
  }
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::subDomainToFileName(const char* subDomain, std::string* fileName) {
  if (subDomain == nullptr || *subDomain == '\0') return kSLCacheBadArgument;
  std::string encoded;
  SLCacheBase64Encode(subDomain, std::strlen(subDomain), &encoded);
  if (encoded.empty()) {
    fileName->clear();
    SLCacheReport(kSLCacheReportInfo, "Failed to encode subdomain to file name:%s\n", subDomain);
    return kSLCacheBadArgument;
  }
  *fileName = encoded + kFileExtension;
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::fileNameToSubDomain(const std::string& fileName,
                                                std::string* subDomain) {
  if (fileName.size() <= kFileExtensionLength ||
      fileName.compare(fileName.size() - kFileExtensionLength, kFileExtensionLength,
                       kFileExtension) != 0)
    return kSLCacheBadArgument;
  const std::string stem = fileName.substr(0, fileName.size() - kFileExtensionLength);
  std::string decoded;
  if (stem.size() % 4 == 0) {
    // Characters up to the first "=" or the first one outside the alphabet.
    std::vector<int> values;
    for (unsigned char c : stem) {
      const int value = DecodedValue(c);
      if (value < 0) break;
      values.push_back(value);
    }
    size_t i = 0;
    for (; i + 4 <= values.size(); i += 4) {
      const uint32_t group = (values[i] << 18) | (values[i + 1] << 12) | (values[i + 2] << 6) |
                             values[i + 3];
      decoded.push_back(static_cast<char>(group >> 16));
      decoded.push_back(static_cast<char>((group >> 8) & 0xFF));
      decoded.push_back(static_cast<char>(group & 0xFF));
    }
    const size_t left = values.size() - i;
    if (left >= 2) {
      const uint32_t group = (values[i] << 18) | (values[i + 1] << 12) |
                             (left == 3 ? values[i + 2] << 6 : 0);
      decoded.push_back(static_cast<char>(group >> 16));
      if (left == 3) decoded.push_back(static_cast<char>((group >> 8) & 0xFF));
    }
  }
  // Sub-domain names are NUL-terminated: a name with a NUL inside was never encoded by this
  // store, and a caller would see it cut short at the NUL.
  if (decoded.empty() || decoded.find('\0') != std::string::npos) {
    subDomain->clear();
    SLCacheReport(kSLCacheReportInfo, "Failed to decode subdomain from file name:%s\n",
                  fileName.c_str());
    return kSLCacheBadArgument;
  }
  *subDomain = decoded;
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::openLocked(const std::string& path, SLCacheDoc* document,
                                       bool create, bool* missing) {
  *missing = false;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    platform::FileOpenOptions options;
    options.write = true;
    options.disposition =
        create ? platform::FileDisposition::kOpenAlways : platform::FileDisposition::kOpenExisting;
    options.security = platform::FileSecurity::kOpenToAll;
    options.hidden = document->name != kSLCacheFeaturesName;
    options.refuse_links = true;
    std::unique_ptr<platform::File> file;
    if (const int error = platform::OpenFile(path, options, &file)) {
      if (!create && error == platform::kErrorFileNotFound) {
        *missing = true;
        return kSLCacheNoDocument;
      }
      SLCacheReport(kSLCacheReportInfo, "Failed to open file in write mode, error code:%d.", error);
      return kSLCacheFileReadFailed;
    }
    uint64_t size = 0;
    if (const int error = file->Size(&size)) {
      SLCacheReport(kSLCacheReportInfo,
                    "Failed to get the file size in write mode, error code:%d.", error);
      return kSLCacheFileReadFailed;
    }
    const uint32_t length = LockLength(size);
    if (const int error = file->LockExclusive(0, length)) {
      SLCacheReport(kSLCacheReportInfo,
                    "Failed to LockFileEx in exclusive mode for writing, error code:%d.", error);
      return kSLCacheFileReadFailed;
    }
    // The file may have been removed by the process whose lock this one waited for: then this
    // handle names a file that no longer is (or soon will not be) at `path`.
    if (!file->IsAt(path)) {
      file->Unlock(0, length);
      file->Close();
      if (!create) {
        *missing = true;
        SLCacheReport(kSLCacheReportInfo, "No cache doc found at path:%s", path.c_str());
        return kSLCacheNoDocument;
      }
      continue;
    }
    document->lockedFile.file = std::move(file);
    document->lockedFile.lockedLength = length;
    return kSLCacheOk;
  }
  SLCacheReport(kSLCacheReportInfo, "Failed to open file in write mode, error code:%d.",
                platform::kErrorFileNotFound);
  return kSLCacheFileReadFailed;
}

SLCacheStatus SLCacheStore::readDocFile(const std::string& path, std::string* text,
                                        SLCacheDoc* document, bool createIfMissing) {
  if (!Utf8ToWide(path.c_str())) return kSLCachePathNotConvertible;
  const SLCacheSealingKey* key = sealingState.get();

  if (document != nullptr) {
    releaseDocFile(document);
    bool missing = false;
    const SLCacheStatus opened = openLocked(path, document, createIfMissing, &missing);
    if (opened != kSLCacheOk) return opened;
    // The file stays held and locked whatever the outcome; the write or a release ends it.
    return ReadContent(document->lockedFile.file.get(), key, text);
  }

  platform::FileOpenOptions options;
  options.refuse_links = true;
  std::unique_ptr<platform::File> file;
  if (const int error = platform::OpenFile(path, options, &file)) {
    if (error == platform::kErrorFileNotFound) {
      SLCacheReport(kSLCacheReportInfo, "No cache doc found at path:%s", path.c_str());
      return kSLCacheNoDocument;
    }
    SLCacheReport(kSLCacheReportInfo, "Failed to open file in read mode, error code:%d.", error);
    return kSLCacheFileReadFailed;
  }
  uint64_t size = 0;
  if (const int error = file->Size(&size)) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get the file size mode, error code:%d.", error);
    return kSLCacheFileReadFailed;
  }
  if (size == 0) {
    SLCacheReport(kSLCacheReportInfo,
                  "Got empty string from the file, treating as file doesnot exist.");
    return kSLCacheNoDocument;
  }
  const uint32_t length = LockLength(size);
  if (const int error = file->LockShared(0, length)) {
    SLCacheReport(kSLCacheReportInfo, "Failed to LockFileEx in shared mode:%d.", error);
    return kSLCacheFileReadFailed;
  }
  const SLCacheStatus result = ReadContent(file.get(), key, text);
  if (const int error = file->Unlock(0, length))
    SLCacheReport(kSLCacheReportInfo, "Failed to UnlockFileEx, error code:%d.", error);
  if (const int error = file->Close())
    SLCacheReport(kSLCacheReportInfo, "Failed to CloseHandle, error code:%d.", error);
  return result;
}

SLCacheStatus SLCacheStore::writeDocFile(const std::string& path, const std::string& text,
                                         SLCacheDoc* document) {
  if (text.empty()) {
    SLCacheReport(kSLCacheReportInfo, "In valid argument to write data, empty document data.");
    return kSLCacheBadStoreArgument;
  }
  if (!Utf8ToWide(path.c_str())) return kSLCachePathNotConvertible;
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "In valid argument to write data, null document.");
    return kSLCacheBadStoreArgument;
  }
  SLCacheReport(kSLCacheReportInfo, "Writing CacheDoc Data At Path-[%d]-[%s].",
                static_cast<int>(text.size()), path.c_str());
  if (text.size() > kSLCacheMaxDocumentSize) {
    SLCacheReport(kSLCacheReportInfo, "Document text too large to write: %llu bytes.",
                  static_cast<unsigned long long>(text.size()));
    return kSLCacheFileWriteFailed;
  }
  SLCacheLockedFile& held = document->lockedFile;
  if (!held.file || held.lockedLength == kNoFileHeld) {
    releaseDocFile(document);
    bool missing = false;
    const SLCacheStatus opened = openLocked(path, document, true, &missing);
    if (opened != kSLCacheOk) return opened;
  }
  platform::File* file = held.file.get();
  uint64_t position = 1;
  if (const int error = file->Seek(0, &position); error != 0 || position != 0) {
    SLCacheReport(kSLCacheReportInfo, "Failed SetFilePointer, error code:%d.", error);
    return kSLCacheFileWriteFailed;
  }
  const uint32_t length = static_cast<uint32_t>(text.size());
  uint32_t moved = 0;
  if (const int error = file->Write(text.data(), length, &moved)) {
    SLCacheReport(kSLCacheReportInfo, "Failed write data, error code:%d.", error);
    return kSLCacheFileWriteFailed;
  }
  if (moved != length) {
    SLCacheReport(kSLCacheReportInfo, "Short write of the document data: %u of %u bytes.", moved,
                  length);
    return kSLCacheFileWriteFailed;
  }
  if (const int error = file->SetEndOfFile()) {
    SLCacheReport(kSLCacheReportInfo, "Failed to set the eof marker, error code:%d.", error);
    return kSLCacheFileWriteFailed;
  }
  if (const int error = file->Flush())
    SLCacheReport(kSLCacheReportInfo, "Failed to set FlushFileBuffers, error code:%d.", error);
  releaseDocFile(document);
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::releaseDocFile(SLCacheDoc* document) {
  if (document == nullptr) return kSLCacheOk;
  SLCacheLockedFile& held = document->lockedFile;
  if (!held.file || held.lockedLength == kNoFileHeld) {
    held.file.reset();
    held.lockedLength = kNoFileHeld;
    return kSLCacheOk;
  }
  if (held.lockedLength != 0) {
    if (const int error = held.file->Unlock(0, held.lockedLength))
      SLCacheReport(kSLCacheReportInfo, "Failed to UnlockFileEx, error code:%d.", error);
  }
  if (const int error = held.file->Close())
    SLCacheReport(kSLCacheReportInfo, "Failed to CloseHandle, error code:%d.", error);
  held.file.reset();
  held.lockedLength = kNoFileHeld;
  return kSLCacheOk;
}

SLCacheStatus SLCacheStore::createCacheDocReference(SLCacheDoc* document,
                                                    const std::string& fileName,
                                                    const std::string& text) {
  if (fileName.empty()) {
    SLCacheReport(kSLCacheReportWarning,
                  "Warn:Invalid cache file name reference passed in, empty file name.");
    return kSLCacheBadStoreArgument;
  }
  std::string path;
  try {
    std::string folder;
    getCacheFolderPath(&folder);
    path = folder + platform::kPathSeparator + fileName;
    if (!FileExists(folder.c_str()) && !FileExists(folder.c_str())) {
      const SLCacheStatus created = createCacheFolder(folder);
      if (created != kSLCacheOk) {
        SLCacheReport(kSLCacheReportInfo, "Couldn't create the cache store");
        return created;
      }
    }
    if (!FileIsWritable(folder.c_str())) {
      SLCacheReport(kSLCacheReportInfo, "Cache Store is not writable");
      return kSLCacheStoreNotWritable;
    }
    std::string sealed = text;
    const SLCacheStatus seal = embedSignature(sealingState.get(), &sealed);
    if (seal != kSLCacheOk) {
      SLCacheReport(kSLCacheReportError, "ERROR:Failed embed signature to the slc doc.");
      return seal;
    }
    return writeDocFile(path, sealed, document);
  } catch (...) {
    SLCacheReport(kSLCacheReportError,
                  "ERROR:Got Exception while creating the cache doc reference:%s", path.c_str());
    return kSLCacheFailure;
  }
}

SLCacheStatus SLCacheStore::readCacheDocReference(const std::string& fileName, std::string* text,
                                                  SLCacheDoc* document, bool createIfMissing) {
  if (fileName.empty()) {
    SLCacheReport(kSLCacheReportError, "ERROR:Empty CacheDocFileName passed to read the data.");
    return kSLCacheBadStoreArgument;
  }
  try {
    std::string folder;
    getCacheFolderPath(&folder);
    const std::string path = folder + platform::kPathSeparator + fileName;
    if (document != nullptr && createIfMissing) {
      // The file is made here, under the lock that the write will release, so that two
      // processes creating the same document take turns instead of both writing.
      if (!FileExists(folder.c_str())) {
        const SLCacheStatus created = createCacheFolder(folder);
        if (created != kSLCacheOk) {
          SLCacheReport(kSLCacheReportInfo, "Couldn't create the cache store");
          return created;
        }
      }
    } else {
      if (!FileExists(path.c_str())) {
        SLCacheReport(kSLCacheReportInfo, "No cache doc found with name:%s", fileName.c_str());
        return kSLCacheNoDocument;
      }
      if (!FileIsReadable(path.c_str())) {
        SLCacheReport(kSLCacheReportError, "ERROR:Unreadable cache doc reference:%s",
                      fileName.c_str());
        return kSLCacheFileUnreadable;
      }
    }
    try {
      std::string read;
      const SLCacheStatus result = readDocFile(path, &read, document, createIfMissing);
      if (result == kSLCacheOk) *text = std::move(read);
      return result;
    } catch (...) {
      SLCacheReport(kSLCacheReportError,
                    "ERROR:Got Exception while reading the cache doc reference:%s",
                    fileName.c_str());
      return kSLCacheFailure;
    }
  } catch (const std::bad_alloc&) {
    return kSLCacheOutOfMemory;
  }
}

SLCacheStatus SLCacheStore::deleteCacheDocReference(const std::string& fileName) {
  SLCacheReport(kSLCacheReportInfo, "\n Deleting Cache Document");
  if (fileName.empty()) {
    SLCacheReport(kSLCacheReportInfo, "No cache doc reference passed in");
    return kSLCacheBadStoreArgument;
  }
  const std::string path = documentPath(fileName);
  if (!FileExists(path.c_str())) {
    SLCacheReport(kSLCacheReportError, "ERROR:Couldn't find cache doc reference:%s",
                  fileName.c_str());
    return kSLCacheNoDocument;
  }
  if (RemoveFile(path.c_str()) != 0) {
    const int error = errno;
    SLCacheReport(kSLCacheReportError, "ERROR:Couldn't delete cache doc reference:%s",
                  fileName.c_str());
    SLCacheReport(kSLCacheReportError, "ERROR:errno :%d", error);
    return kSLCacheFileNotDeleted;
  }
  return kSLCacheOk;
}

bool SLCacheStore::deleteCorruptedCacheDocReference(const std::string& fileName,
                                                    SLCacheDoc* heldBy) {
  if (fileName.size() <= kFileExtensionLength) return false;
  const std::string path = documentPath(fileName);
  if (heldBy != nullptr && heldBy->lockedFile.file &&
      heldBy->lockedFile.lockedLength != kNoFileHeld) {
    // Emptied first, so that a reader that already has the file open finds no document.
    platform::File* file = heldBy->lockedFile.file.get();
    uint64_t position = 0;
    if (file->Seek(0, &position) == 0) file->SetEndOfFile();
  }
  const bool removed = RemoveFile(path.c_str()) == 0;
  const int error = errno;
  releaseDocFile(heldBy);
  if (removed) {
    SLCacheReport(kSLCacheReportInfo, "Deleted corrupted doc reference:%s", path.c_str());
    return true;
  }
  SLCacheReport(kSLCacheReportError, "ERROR:Couldn't delete corrupted cache doc reference:%s",
                path.c_str());
  SLCacheReport(kSLCacheReportError, "ERROR:errno :%d", error);
  return false;
}

SLCacheStatus SLCacheStore::deleteHeldDocFile(SLCacheDoc* document, const std::string& fileName) {
  SLCacheReport(kSLCacheReportInfo, "\n Deleting Cache Document");
  const std::string path = documentPath(fileName);
  SLCacheLockedFile& held = document->lockedFile;
  if (held.file && held.lockedLength != kNoFileHeld) {
    // Emptied under the lock before it is removed: a process that opened the file before the
    // removal then finds no document rather than the removed text.
    uint64_t position = 1;
    if (const int error = held.file->Seek(0, &position); error != 0 || position != 0 ||
                                                         held.file->SetEndOfFile() != 0)
      SLCacheReport(kSLCacheReportInfo, "Failed to set the eof marker, error code:%d.", error);
    held.file->Flush();
  }
  SLCacheStatus result = kSLCacheOk;
  if (RemoveFile(path.c_str()) != 0) {
    const int error = errno;
    SLCacheReport(kSLCacheReportError, "ERROR:Couldn't delete cache doc reference:%s",
                  fileName.c_str());
    SLCacheReport(kSLCacheReportError, "ERROR:errno :%d", error);
    result = kSLCacheFileNotDeleted;
  }
  releaseDocFile(document);
  return result;
}
