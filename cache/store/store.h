// The cache store: one file per cache document in the machine-wide cache folder
// (<common program files>/Kymra/SLCache), and the locking protocol by which processes read and
// rewrite those files.
//
// Locking protocol. Every lock starts at offset 0 and covers at least one byte: the file's size
// as measured before the lock, or one byte when the file is empty or new. Any two locks of this
// store therefore overlap (byte 0), and they also overlap the [0, size) locks of processes that
// lock only non-empty files. A zero-length lock is never taken (some systems take it as the
// whole file).
// - A read takes a shared lock, measures the size again under it and reads the whole text.
// - An update (readDocFile / readCacheDocReference with a document, then writeDocFile) opens the
//   file, creating it when asked, takes an exclusive lock and keeps it until the merged text is
//   written or the file is released, so that the read, merge and write of one synchronisation
//   are never interleaved with another process's, whether the file was new, empty or not.
// - A document is deleted under its exclusive lock: the file is cut to length 0 (an empty file
//   is "no document" to every reader) and then removed. A process that was waiting for the lock
//   of the removed file notices, once it holds the lock, that its handle no longer names the file
//   at that path, and opens it afresh.
//
// Document files are never opened through a symbolic link, and never written while they have
// more than one hard link: the cache folder grants everyone full control, so such a file may
// have been planted to redirect a privileged writer. POSIX has no hidden attribute; documents are
// ordinary files there.
//
// The store has no lock of its own and expects one caller at a time.
#ifndef QEM_CACHE_STORE_STORE_H_
#define QEM_CACHE_STORE_STORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cache/document/document.h"
#include "cache/document/seal.h"
#include "cache/document/status.h"

// The name of the document whose file is created as a normal (not hidden) file.
extern const char kSLCacheFeaturesName[];  // "__slc_features__"

// The largest document text the store reads; a larger file is refused as unreadable.
constexpr uint64_t kSLCacheMaxDocumentSize = 64u * 1024u * 1024u;

class SLCacheStore {
 public:
  SLCacheStore();
  virtual ~SLCacheStore();
  SLCacheStore(const SLCacheStore&) = delete;
  SLCacheStore& operator=(const SLCacheStore&) = delete;

  // Obtains the sealing key. Once it has succeeded, a further call returns 0 at once.
  virtual SLCacheStatus prepare();

  // The cache folder's path; empty when the maker folder cannot be determined.
  void getCacheFolderPath(std::string* path);
  // Creates the last component of `path`, open to everyone. A folder that another process made
  // first counts as made.
  SLCacheStatus createCacheFolder(const std::string& path);
  SLCacheStatus checkCacheStore();
  // Appends the bare names of the files in the cache folder to `names`, in listing order.
  SLCacheStatus listCacheFiles(std::vector<std::string>* names);

  static SLCacheStatus subDomainToFileName(const char* subDomain, std::string* fileName);
  static SLCacheStatus fileNameToSubDomain(const std::string& fileName, std::string* subDomain);

  // Read mode without a document; update mode with one (the file stays held in its
  // `lockedFile`, exclusively locked, until writeDocFile or releaseDocFile). In update mode a
  // missing file is created when `createIfMissing` is set.
  SLCacheStatus readDocFile(const std::string& path, std::string* text, SLCacheDoc* document,
                            bool createIfMissing = true);
  SLCacheStatus writeDocFile(const std::string& path, const std::string& text,
                             SLCacheDoc* document);
  static SLCacheStatus releaseDocFile(SLCacheDoc* document);

  SLCacheStatus createCacheDocReference(SLCacheDoc* document, const std::string& fileName,
                                        const std::string& text);
  // With a document, the update read of a synchronisation: when `createIfMissing` is set the
  // cache folder and the file are created as needed, so that the file is locked before its
  // (empty) content is looked at; otherwise a missing file gives 769 with nothing held.
  SLCacheStatus readCacheDocReference(const std::string& fileName, std::string* text,
                                      SLCacheDoc* document, bool createIfMissing = false);
  SLCacheStatus deleteCacheDocReference(const std::string& fileName);
  // Deletes a document file. With a document that holds the file (an update read), the file is
  // cut to length 0 and removed under its exclusive lock and then released.
  bool deleteCorruptedCacheDocReference(const std::string& fileName,
                                        SLCacheDoc* heldBy = nullptr);
  // Deletes the file that `document` holds, under its exclusive lock, then releases it.
  SLCacheStatus deleteHeldDocFile(SLCacheDoc* document, const std::string& fileName);

  // The path of a document file in the cache folder.
  std::string documentPath(const std::string& fileName);

 private:
  SLCacheStatus openLocked(const std::string& path, SLCacheDoc* document, bool create,
                           bool* missing);

  std::unique_ptr<SLCacheSealingKey> sealingState;
  bool ready = false;
};

#endif  // QEM_CACHE_STORE_STORE_H_
