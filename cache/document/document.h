// Cache documents: one XML document per sub-domain, with records of what was changed through it.
//
// A stored document is one compact XML text (no declaration, no white space between tags):
//
//   <SLCInfo>
//     <node id="SUB-DOMAIN"><key id="KEY">VALUE</key>...</node>...
//     <node id="__SLCMeta__"> VERSION "2", IsValid "1", TimeStamp (seconds since 1970) </node>
//   </SLCInfo>
//
// Sub-domains and keys are found by their `id` attribute alone (the first child element whose id
// matches, whatever its tag). Every sub-domain and key that an operation touches gets a record
// holding its element and a change status; the merge replays onto the stored text only what the
// records say was added, updated or removed through this object.
//
// TinyXML ownership, as this layer keeps it:
// - the document owns its tree; records point into it and never destroy what is attached;
// - an element not yet attached (record status kSLCacheDocNew) belongs to its record, which
//   destroys it when it is itself destroyed before the element was linked;
// - removing an element from the tree destroys it with its subtree, so the record that pointed
//   to it is destroyed in the same step.
//
// Values read back byte for byte: white-space condensing is switched off for the whole process
// by the first document constructed, and a value made only of white space is held in a CDATA
// text node, since the parser drops blank text between tags whatever its escaping.
//
// The layer takes no locks: one thread at a time per document.
#ifndef QEM_CACHE_DOCUMENT_DOCUMENT_H_
#define QEM_CACHE_DOCUMENT_DOCUMENT_H_

#include <tinyxml.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "cache/document/status.h"
#include "platform/platform.h"

// The empty document, exactly 126 characters: every new document starts from it, and the front
// uses it for a sub-domain that has no stored text yet.
extern const char kSLCacheEmptyTemplate[];

// The meta node and its keys.
extern const char kSLCacheMetaId[];        // "__SLCMeta__"
extern const char kSLCacheVersionKey[];    // "VERSION"
extern const char kSLCacheIsValidKey[];    // "IsValid"
extern const char kSLCacheTimeStampKey[];  // "TimeStamp"
// The id of the seal node; it stands in stored text only, never in a parsed tree.
extern const char kSLCacheSealNodeId[];    // "__slcps__"

// One key touched through a document.
class SLCacheSubDomainChild {
 public:
  SLCacheSubDomainChild(int32_t status, TiXmlElement* element)
      : status(status), element(element) {}
  // Destroys the element only while it is unattached (status kSLCacheDocNew).
  virtual ~SLCacheSubDomainChild();
  SLCacheSubDomainChild(const SLCacheSubDomainChild&) = delete;
  SLCacheSubDomainChild& operator=(const SLCacheSubDomainChild&) = delete;

  int32_t status;         // an SLCacheDocStatus
  TiXmlElement* element;  // the `key` element
};

// One sub-domain touched through a document.
class SLCacheSubDomain {
 public:
  SLCacheSubDomain(int32_t status, TiXmlElement* element) : status(status), element(element) {}
  // Destroys the key records; the element only while it is unattached (kSLCacheDocNew).
  virtual ~SLCacheSubDomain();
  SLCacheSubDomain(const SLCacheSubDomain&) = delete;
  SLCacheSubDomain& operator=(const SLCacheSubDomain&) = delete;

  // Key records by key id, in byte-wise order; a null entry counts as absent.
  std::map<std::string, std::unique_ptr<SLCacheSubDomainChild>> children;
  // Ids of the keys removed through this record.
  std::set<std::string> removedKeys;
  int32_t status;         // an SLCacheDocStatus
  TiXmlElement* element;  // the `node` element
};

// The document's file as the store holds it between an update read and the write that follows.
// Only the store sets and releases it; no file and a length of 0xFFFFFFFF mean "none held".
struct SLCacheLockedFile {
  std::unique_ptr<platform::File> file;
  uint32_t lockedLength = 0xFFFFFFFF;  // bytes locked from offset 0; 0 = held, nothing locked
};

class SLCacheDoc {
 public:
  // An empty, uninitialised document: kSLCacheDocUnchanged for one to be loaded or merged into,
  // kSLCacheDocNew for one to be created.
  explicit SLCacheDoc(int32_t initialStatus);
  // Destroys the records and the tree. The store releases `lockedFile` first; a file still
  // held here is only closed.
  ~SLCacheDoc();
  SLCacheDoc(const SLCacheDoc&) = delete;
  SLCacheDoc& operator=(const SLCacheDoc&) = delete;

  // Initialisation; exactly one of the three, once. After a failure the document is only
  // destroyed. `text` is a stored text without its seal node.
  SLCacheStatus initWithXMLString(const std::string& text, const char* name,
                                  const char* fileName);
  SLCacheStatus initNewDocument(const char* name, const char* fileName);
  // Parses the stored text into this freshly constructed document and replays onto it the
  // changes recorded in `updatedCachedDoc`, which is never changed; then stamps the time.
  SLCacheStatus initWithXMLStringAndMergeCachedDoc(const std::string& text, const char* name,
                                                   const char* fileName,
                                                   const SLCacheDoc* updatedCachedDoc);

  // Keys and sub-domains. Names and values are non-empty, zero-terminated byte strings.
  SLCacheStatus setValueForKey(const char* subDomain, const char* key, const char* value);
  // `*value` points into the tree: valid until the document changes or is destroyed.
  SLCacheStatus getValueForKey(const char* subDomain, const char* key, const char** value);
  // `*keys` receives a null-terminated array of key ids; free it with SLCacheFreeStringList.
  SLCacheStatus getKeysInSubDomain(const char* subDomain, char*** keys);
  SLCacheStatus removeSubDomain(const char* subDomain);
  SLCacheStatus removeKeyInSubDomain(const char* subDomain, const char* key);

  SLCacheStatus upgradeToLatestVersion();
  SLCacheStatus getTimeStamp(int64_t* seconds);
  SLCacheStatus setTimeStamp(int64_t seconds);

  // Records. The lookups create a kSLCacheDocUnchanged record the first time they find an
  // element and answer a null record (with 0) when there is none.
  SLCacheStatus getSubDomainRecord(const char* subDomain, SLCacheSubDomain** record);
  SLCacheStatus getSubDomainChildRecord(SLCacheSubDomain* record, const char* key,
                                        SLCacheSubDomainChild** child);
  // New records in status kSLCacheDocNew on new, unattached elements.
  static SLCacheStatus createSubDomainRecord(const char* subDomain,
                                             std::unique_ptr<SLCacheSubDomain>* record);
  static SLCacheStatus createSubDomainChildRecord(const char* key,
                                                  std::unique_ptr<SLCacheSubDomainChild>* child);
  // Advances the statuses after a value was written. A kSLCacheDocNew record passed here is
  // attached and taken over by the document (the sub-domain record) or by `record` (the key
  // record); the map entries it goes into must exist already, so that this step cannot fail.
  void markRecordsChanged(SLCacheSubDomainChild* child, SLCacheSubDomain* record,
                          const char* subDomain, const char* key);
  // Replays one sub-domain record of an in-memory document onto a `node` element of another.
  static SLCacheStatus mergeSubDomainRecord(const SLCacheSubDomain* record, TiXmlElement* node);

  std::string name;       // the sub-domain whose values this document holds
  std::string fileName;   // the store's file name of the document
  SLCacheLockedFile lockedFile;
  std::unique_ptr<TiXmlDocument> xmlDocument;
  TiXmlElement* rootElement = nullptr;  // the SLCInfo element, inside xmlDocument
  // Sub-domain records by name, in byte-wise order; a null entry counts as absent.
  std::map<std::string, std::unique_ptr<SLCacheSubDomain>> subDomains;
  // Names of the sub-domains removed through this document.
  std::set<std::string> removedSubDomains;
  int32_t status;          // an SLCacheDocStatus
  int64_t timeStamp = 0;   // the meta TimeStamp read at parsing; 0 otherwise

 private:
  SLCacheStatus parseInto(const std::string& text, bool forNewDocument);
  void setStatusAfterRemoval(const char* subDomain);
};

// The first child element of `parent` (null gives null) whose `id` attribute equals `id`
// byte for byte; the tag is not examined and elements without `id` are skipped.
TiXmlElement* findElementById(TiXmlElement* parent, const char* id);

// Finds the element as above; when its parent is `parent`, unlinks and destroys it with its
// subtree. Answers whether an element was found.
bool removeElementById(TiXmlElement* parent, const char* id);

// Adds the `id` of every child element of `root` that has one to `ids`.
SLCacheStatus getSubDomainIds(const TiXmlElement* root, std::set<std::string>* ids);

// Prints a tree compactly (TiXmlPrinter with empty indentation and line break): no white space
// between tags, and an element without children as an empty-element tag.
SLCacheStatus SLCachePrintCompact(const TiXmlNode* node, std::string* text);

// Copies a text into one allocation that SLCacheFreeStringList releases (null when memory is
// short), and frees a null-terminated list of such texts together with the list itself. The
// key lists of getKeysInSubDomain are made this way.
char* SLCacheCopyString(const char* text);
void SLCacheFreeStringList(char** list);

// The current time in whole seconds since 1970-01-01 00:00:00 UTC.
int64_t SLCacheCurrentTime();

namespace slcache {
namespace testing {
// A fixed value for SLCacheCurrentTime; null restores the clock.
void SetCurrentTime(const int64_t* fixed);
// Makes the nth allocation of an element, text node, record, clone, list or tree from now fail
// as if memory were exhausted (1 = the next one); 0 disarms. One failure per call.
void FailAllocation(int nth);
}  // namespace testing
}  // namespace slcache

#endif  // QEM_CACHE_DOCUMENT_DOCUMENT_H_
