// Result codes of the document cache and the change status of its documents and records.
//
// SLCacheStatus is one family shared by the document layer, the store and the front: each
// operation answers one of these values (0 for success) and passes the codes of the layers
// beneath it through unchanged. Several values carry more than one meaning, one per layer that
// produces them; the comments list them all. The configuration database service translates
// these values by their numbers, so the numbers are fixed.
#ifndef QEM_CACHE_DOCUMENT_STATUS_H_
#define QEM_CACHE_DOCUMENT_STATUS_H_

#include <cstdint>

enum SLCacheStatus : int32_t {
  kSLCacheOk = 0,
  // Document: a sub-domain record has no element. Front: a document lookup succeeded without
  // yielding a document.
  kSLCacheNoElement = 1,
  // Seal: the sealing key is not available, or a text to be sealed has no "</SLCInfo>". Store:
  // an exception was caught while a document was written or read.
  kSLCacheFailure = 2,
  // Document: a record cannot be allocated. Store: no memory to convert the folder path for a
  // listing. Front: no memory for the working document of a synchronisation.
  kSLCacheNoMemoryForObject = 3,
  // Document and front: an argument is an empty string. Store: a name cannot be mapped to or
  // from a file name. Front entry points: an absent or unusable front object, or an absent
  // string array.
  kSLCacheBadArgument = 4,
  // An argument is null.
  kSLCacheNullArgument = 5,
  // Memory exhausted: element, text node, array, string or read buffer.
  kSLCacheOutOfMemory = 7,
  // Front entry points: no pointer to the string array to free.
  kSLCacheNoArrayPointer = 8,
  // Store: a path cannot be converted to UTF-16 for a read or a write.
  kSLCachePathNotConvertible = 9,
  // Front: at least one document was not written or not deleted by a synchronisation.
  kSLCacheSyncFailed = 10,
  // The sub-domain or key does not exist or is removed; the front also answers it for a
  // document whose own sub-domain was removed.
  kSLCacheNotFound = 0x207,                 // 519
  // Store: the folder path cannot be converted for the folder's creation.
  kSLCacheFolderPathNotConvertible = 0x300,  // 768
  // Store: no such document (the file is missing or empty).
  kSLCacheNoDocument = 0x301,               // 769
  // Store: a document file cannot be opened, sized, locked or read.
  kSLCacheFileReadFailed = 0x302,           // 770
  // Store: a document file cannot be positioned, written or cut to length.
  kSLCacheFileWriteFailed = 0x303,          // 771
  // Store: a document file exists but is not readable.
  kSLCacheFileUnreadable = 0x304,           // 772
  // Store: invalid argument (empty file name, empty text, no document).
  kSLCacheBadStoreArgument = 0x307,         // 775
  // Store: the cache folder cannot be created, or its security cannot be built.
  kSLCacheFolderNotCreated = 0x30A,         // 778
  // Store: the cache folder is not writable.
  kSLCacheStoreNotWritable = 0x30B,         // 779
  // Seal: the keyed step of the seal computation failed.
  kSLCacheSealFailed = 0x30D,               // 781
  // Store: a document file cannot be deleted.
  kSLCacheFileNotDeleted = 0x30F,           // 783
  // Store: the cache folder does not exist.
  kSLCacheStoreMissing = 0x31B,             // 795
  // Store: the cache folder cannot be enumerated.
  kSLCacheStoreNotListed = 0x31C,           // 796
  // Document: the document is already initialised.
  kSLCacheAlreadyInitialized = 0x401,       // 1025
  // Document: bad argument to an initialisation or a merge.
  kSLCacheBadInitArgument = 0x403,          // 1027
  // Document: the TimeStamp text is empty or holds a character other than a decimal digit.
  kSLCacheBadTimeStamp = 0x405,             // 1029
  // Document: the text cannot be parsed as XML.
  kSLCacheParseFailed = 0x406,              // 1030
};

// The change status of a document, a sub-domain record or a key record. Status fields are plain
// signed 32-bit integers: a value outside this scale is treated as kSLCacheDocUpdated when the
// status is next advanced.
enum SLCacheDocStatus : int32_t {
  kSLCacheDocUnchanged = 0,  // read from text; not changed through this object
  kSLCacheDocNew = 1,        // just created; a record's element is not yet attached to a tree
  kSLCacheDocAdded = 2,      // created through this object and attached
  kSLCacheDocUpdated = 3,    // existed before and was changed through this object
  kSLCacheDocRemove = 4,     // removed through this object
};

#endif  // QEM_CACHE_DOCUMENT_STATUS_H_
