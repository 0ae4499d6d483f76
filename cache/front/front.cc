#include "cache/front/front.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "cache/document/report.h"
#include "util/xml_nesting.h"

namespace {

// Whether the tree holds nothing but the meta node: a document with no sub-domain left.
bool OnlyMetaRemains(const SLCacheDoc& document) {
  if (document.rootElement == nullptr) return false;
  for (const TiXmlElement* child = document.rootElement->FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    const char* id = child->Attribute("id");
    if (id == nullptr || std::strcmp(id, kSLCacheMetaId) != 0) return false;
  }
  return true;
}

// The meta node and the seal node share the id space of sub-domains. A sub-domain with either id
// would be the document's own bookkeeping: its keys rewritten at every synchronisation (a value
// written to it would be lost with success answered) and its removal fatal to the document.
bool RefusedAsReserved(const char* subDomain) {
  if (std::strcmp(subDomain, kSLCacheMetaId) != 0 && std::strcmp(subDomain, kSLCacheSealNodeId) != 0)
    return false;
  SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain <%s> is reserved.",
                subDomain);
  return true;
}

}  // namespace

SLCache::SLCache() = default;

SLCache::~SLCache() {
  for (auto& entry : documents) {
    if (entry.second) SLCacheStore::releaseDocFile(entry.second.get());
  }
}

SLCacheStatus SLCache::getDocument(const char* subDomain, SLCacheDoc** document) {
  if (subDomain != nullptr) {
    auto found = documents.find(subDomain);
    if (found != documents.end()) {
      *document = found->second.get();
      return kSLCacheOk;
    }
  }
  return loadDocument(subDomain, document);
}

SLCacheStatus SLCache::loadDocument(const char* subDomain, SLCacheDoc** document) {
  if (subDomain == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Could not get encrypted cache doc file name <%s>.", "");
    return kSLCacheNullArgument;
  }
  std::string fileName;
  SLCacheStatus result = SLCacheStore::subDomainToFileName(subDomain, &fileName);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Could not get encrypted cache doc file name <%s>.",
                  subDomain);
    return result;
  }
  std::string text;
  result = store.readCacheDocReference(fileName, &text, nullptr);
  if (result != kSLCacheOk) return result;
  std::unique_ptr<SLCacheDoc> loaded(new (std::nothrow) SLCacheDoc(kSLCacheDocUnchanged));
  if (!loaded) {
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory");
    return kSLCacheOutOfMemory;
  }
  result = loaded->initWithXMLString(text, subDomain, fileName.c_str());
  if (result == kSLCacheParseFailed) return recheckCorrupted(subDomain, fileName, document);
  if (result != kSLCacheOk) return result;
  SLCacheDoc* cached = loaded.get();
  documents[subDomain] = std::move(loaded);
  *document = cached;
  return kSLCacheOk;
}

// A stored text that did not parse is read once more under the exclusive lock, where no writer
// of this store can be half-way through it, and deleted only if it still does not parse.
SLCacheStatus SLCache::recheckCorrupted(const char* subDomain, const std::string& fileName,
                                        SLCacheDoc** document) {
  SLCacheDoc holder(kSLCacheDocUnchanged);
  holder.name = subDomain;
  std::string text;
  const SLCacheStatus read = store.readCacheDocReference(fileName, &text, &holder, false);
  if (read != kSLCacheOk) {
    SLCacheStore::releaseDocFile(&holder);
    // Gone or emptied meanwhile: there is no document. Otherwise the file cannot be examined
    // and is left alone.
    return read == kSLCacheNoDocument ? kSLCacheNoDocument : kSLCacheParseFailed;
  }
  std::unique_ptr<SLCacheDoc> loaded(new (std::nothrow) SLCacheDoc(kSLCacheDocUnchanged));
  if (!loaded) {
    SLCacheStore::releaseDocFile(&holder);
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory");
    return kSLCacheOutOfMemory;
  }
  const SLCacheStatus result = loaded->initWithXMLString(text, subDomain, fileName.c_str());
  if (result == kSLCacheParseFailed) {
    if (!fileName.empty()) store.deleteCorruptedCacheDocReference(fileName, &holder);
    SLCacheStore::releaseDocFile(&holder);
    return kSLCacheParseFailed;
  }
  SLCacheStore::releaseDocFile(&holder);
  if (result != kSLCacheOk) return result;
  SLCacheDoc* cached = loaded.get();
  documents[subDomain] = std::move(loaded);
  *document = cached;
  return kSLCacheOk;
}

SLCacheStatus SLCache::createDocument(const char* subDomain,
                                      std::unique_ptr<SLCacheDoc>* document) {
  if (subDomain == nullptr) {
    SLCacheReport(kSLCacheReportError, "ERROR:Could not get mangled cache doc file name <%s>.",
                  "");
    return kSLCacheNullArgument;
  }
  std::string fileName;
  SLCacheStatus result = SLCacheStore::subDomainToFileName(subDomain, &fileName);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportError, "ERROR:Could not get mangled cache doc file name <%s>.",
                  subDomain);
    return result;
  }
  std::unique_ptr<SLCacheDoc> created(new (std::nothrow) SLCacheDoc(kSLCacheDocNew));
  if (!created) {
    SLCacheReport(kSLCacheReportError, "ERROR:Failed to Allocate Memory");
    return kSLCacheOutOfMemory;
  }
  result = created->initNewDocument(subDomain, fileName.c_str());
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportError, "ERROR:Could not initNewDocument SubDomain <%s>.",
                  subDomain);
    return result;
  }
  created->status = kSLCacheDocAdded;
  *document = std::move(created);
  return kSLCacheOk;
}

SLCacheStatus SLCache::setKey(const char* subDomain, const char* key, const char* value) {
  if (subDomain == nullptr || key == nullptr || value == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key or value is null.");
    return kSLCacheNullArgument;
  }
  if (*subDomain == '\0' || *key == '\0') {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key is empty.");
    return kSLCacheBadArgument;
  }
  if (RefusedAsReserved(subDomain)) return kSLCacheBadArgument;
  SLCacheDoc* document = nullptr;
  std::unique_ptr<SLCacheDoc> created;
  SLCacheStatus result = getDocument(subDomain, &document);
  if (result == kSLCacheNoDocument) {
    result = createDocument(subDomain, &created);
    document = created.get();
  }
  if (result != kSLCacheOk) return result;
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Got NULL slcDocument-[%s]", subDomain);
    return kSLCacheNoElement;
  }
  // The map entry is made before the value is set, so that caching the new document cannot
  // fail after it.
  if (created) documents.emplace(subDomain, nullptr);
  result = document->setValueForKey(subDomain, key, value);
  if (created) {
    if (result == kSLCacheOk)
      documents[subDomain] = std::move(created);
    else
      documents.erase(subDomain);
  }
  return result;
}

SLCacheStatus SLCache::getKey(const char* subDomain, const char* key, const char** outValue) {
  if (subDomain == nullptr || key == nullptr || outValue == nullptr) {
    SLCacheReport(kSLCacheReportWarning,
                  "Warn:Invalid argument subdomain or key or outValue is null.");
    return kSLCacheNullArgument;
  }
  if (*subDomain == '\0' || *key == '\0') {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheDoc* document = nullptr;
  SLCacheStatus result = getDocument(subDomain, &document);
  if (result != kSLCacheOk) return result;
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Got NULL slcDocument-[%s]", subDomain);
    return kSLCacheNoElement;
  }
  if (document->status == kSLCacheDocRemove) return kSLCacheNotFound;
  return document->getValueForKey(subDomain, key, outValue);
}

SLCacheStatus SLCache::getKeyList(const char* subDomain, char*** OutKeyList) {
  if (subDomain == nullptr || OutKeyList == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or OutKeyList is null.");
    return kSLCacheNullArgument;
  }
  if (*subDomain == '\0') {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheDoc* document = nullptr;
  SLCacheStatus result = getDocument(subDomain, &document);
  if (result != kSLCacheOk) return result;
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Got NULL slcDocument-[%s]", subDomain);
    return kSLCacheNoElement;
  }
  if (document->status == kSLCacheDocRemove) return kSLCacheNotFound;
  return document->getKeysInSubDomain(subDomain, OutKeyList);
}

SLCacheStatus SLCache::removeSubDomain(const char* subDomain) {
  if (subDomain == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key or value is null.");
    return kSLCacheNullArgument;
  }
  if (*subDomain == '\0') {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is NULL or empty.");
    return kSLCacheBadArgument;
  }
  if (RefusedAsReserved(subDomain)) return kSLCacheBadArgument;
  SLCacheDoc* document = nullptr;
  SLCacheStatus result = getDocument(subDomain, &document);
  if (result != kSLCacheOk) return result;
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Got NULL slcDocument-[%s]", subDomain);
    return kSLCacheNoElement;
  }
  return document->removeSubDomain(subDomain);
}

SLCacheStatus SLCache::removeKey(const char* subDomain, const char* key) {
  if (subDomain == nullptr || key == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key is null.");
    return kSLCacheNullArgument;
  }
  if (*subDomain == '\0' || *key == '\0') {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is empty.");
    return kSLCacheBadArgument;
  }
  if (RefusedAsReserved(subDomain)) return kSLCacheBadArgument;
  SLCacheDoc* document = nullptr;
  SLCacheStatus result = getDocument(subDomain, &document);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to generate cache document <%s>.", subDomain);
    return result;
  }
  if (document == nullptr) {
    SLCacheReport(kSLCacheReportInfo, "Got NULL slcDocument");
    return kSLCacheNoElement;
  }
  if (document->status == kSLCacheDocRemove) return kSLCacheNotFound;
  return document->removeKeyInSubDomain(subDomain, key);
}

SLCacheStatus SLCache::getSubDomains(char*** outSubDomainStrList) {
  if (outSubDomainStrList == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key or value is null.");
    return kSLCacheNullArgument;
  }
  std::vector<std::string> fileNames;
  SLCacheStatus result = store.listCacheFiles(&fileNames);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get cache documents from slstore.");
    return result;
  }
  std::set<std::string> names;
  for (const std::string& fileName : fileNames) {
    if (fileName.size() <= 4 || fileName.compare(fileName.size() - 4, 4, ".slc") != 0) continue;
    std::string subDomain;
    if (SLCacheStore::fileNameToSubDomain(fileName, &subDomain) != kSLCacheOk) {
      SLCacheReport(kSLCacheReportWarning, "Warn:Found a document which is not created by slcache :%s",
                    fileName.c_str());
      continue;
    }
    auto cached = documents.find(subDomain);
    if (cached != documents.end() && cached->second &&
        cached->second->status == kSLCacheDocRemove)
      continue;
    if (subDomain == kSLCacheFeaturesName) continue;
    std::string text;
    const SLCacheStatus read = store.readCacheDocReference(fileName, &text, nullptr);
    if (read != kSLCacheOk) {
      SLCacheReport(kSLCacheReportWarning,
                    "Warn:Found a document which couldn't be decoded by slcache :%s - "
                    "SLCacheStatus code:%d",
                    fileName.c_str(), read);
      continue;
    }
    if (XmlNestsDeeperThan(text, kXmlMaxNesting, XmlScanEncoding::kUnknown)) {
      SLCacheReport(kSLCacheReportWarning, "Warn:Failed to parse the slc document content:%s",
                    fileName.c_str());
      continue;
    }
    TiXmlDocument parsed;
    try {
      parsed.Parse(XmlParserInput(text).c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    } catch (...) {
      SLCacheReport(kSLCacheReportWarning,
                    "Warn:Got exception file parsing the file content- ignoring:%s",
                    fileName.c_str());
      continue;
    }
    if (parsed.Error()) {
      SLCacheReport(kSLCacheReportWarning, "Warn:Failed to parse the slc document content:%s",
                    fileName.c_str());
      continue;
    }
    if (getSubDomainIds(parsed.RootElement(), &names) != kSLCacheOk)
      SLCacheReport(kSLCacheReportWarning, "Warn:Failed to get sub domains from document:%s",
                    fileName.c_str());
  }
  SLCacheDoc* features = nullptr;
  if (getDocument(kSLCacheFeaturesName, &features) == kSLCacheOk && features != nullptr) {
    if (features->rootElement == nullptr)
      SLCacheReport(kSLCacheReportInfo, "Invalid document rootElement is null.");
    else
      getSubDomainIds(features->rootElement, &names);
  }
  for (const auto& entry : documents) {
    const SLCacheDoc* document = entry.second.get();
    if (document == nullptr ||
        (document->status != kSLCacheDocNew && document->status != kSLCacheDocAdded))
      continue;
    if (document->rootElement == nullptr)
      SLCacheReport(kSLCacheReportInfo, "Invalid document rootElement is null.");
    else
      getSubDomainIds(document->rootElement, &names);
  }
  names.erase(kSLCacheMetaId);
  names.erase(kSLCacheSealNodeId);

  char** list = static_cast<char**>(std::calloc(names.size() + 1, sizeof(char*)));
  if (list == nullptr) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Failed to allocate memory for outSubDomainStrList");
    return kSLCacheOutOfMemory;
  }
  size_t index = 0;
  for (const std::string& name : names) {
    char* copy = SLCacheCopyString(name.c_str());
    if (copy == nullptr) {
      SLCacheFreeStringList(list);  // zero-filled past the copies made
      SLCacheReport(kSLCacheReportInfo, "Failed to allocate memory for outSubDomainStr");
      return kSLCacheOutOfMemory;
    }
    list[index++] = copy;
  }
  *outSubDomainStrList = list;
  return kSLCacheOk;
}

// Carries one changed document to the store. The stored file is opened (and created, unless
// the document is being removed) and exclusively locked before its content is read; the lock
// is held through the merge until the merged text is written or the file deleted.
SLCacheStatus SLCache::syncDocument(SLCacheDoc* document) {
  const char* name = document->name.c_str();
  const bool removing = document->status == kSLCacheDocRemove;
  if (removing)
    SLCacheReport(kSLCacheReportInfo, "SLC DOCUMENT WITH STATUS 'Remove'-(%s).", name);
  else
    SLCacheReport(kSLCacheReportInfo, "slc document found with status Added/Updated - [%s].",
                  name);
  std::string stored;
  SLCacheStatus result =
      store.readCacheDocReference(document->fileName, &stored, document, !removing);
  if (result == kSLCacheNoDocument && document->lockedFile.file) {
    stored = kSLCacheEmptyTemplate;  // an empty file, now locked: start from the template
  } else if (result != kSLCacheOk) {
    if (removing) {
      SLCacheReport(kSLCacheReportInfo, "Remove status:%d.", result);
    } else {
      SLCacheReport(kSLCacheReportWarning,
                    "Warn:Could not load and get data from SLCDocument with SubDomain <%s>.",
                    name);
    }
    return result;
  }
  std::unique_ptr<SLCacheDoc> working(new (std::nothrow) SLCacheDoc(kSLCacheDocUnchanged));
  if (!working) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Failed to Allocate Memory in syncToFile.");
    return kSLCacheNoMemoryForObject;
  }
  working->name = document->name;  // the file attributes of a write follow the name
  result = working->initWithXMLStringAndMergeCachedDoc(stored, name, document->fileName.c_str(),
                                                       document);
  const SLCacheDoc* chosen = working.get();
  if (result == kSLCacheParseFailed) {
    // The stored text is damaged. The file is still held under the exclusive lock, so the
    // cached document is written over it in place, with no moment at which another process
    // could take the file in between.
    SLCacheReport(kSLCacheReportWarning,
                  "Warn:Document in the store is corrupted <%s>. Writing the cached doc into the "
                  "store.",
                  name);
    chosen = document;
  } else if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportWarning,
                  "Warn:Could not initWithXMLStringAndMergeCachedDoc SubDomain <%s>.", name);
    return result;
  }
  if (removing && OnlyMetaRemains(*chosen)) {
    // Nothing but the meta node is left, even after what other processes stored: the file goes.
    result = store.deleteHeldDocFile(document, document->fileName);
    SLCacheReport(kSLCacheReportInfo, "Remove status:%d.", result);
    return result;
  }
  std::string text;
  result = SLCachePrintCompact(chosen->xmlDocument.get(), &text);
  if (result != kSLCacheOk) return result;
  result = store.createCacheDocReference(document, document->fileName, text);
  if (removing) SLCacheReport(kSLCacheReportInfo, "Remove status:%d.", result);
  return result;
}

SLCacheStatus SLCache::syncToFile() {
  SLCacheStatus overall = kSLCacheOk;
  for (auto& entry : documents) {
    SLCacheDoc* document = entry.second.get();
    if (document == nullptr) continue;
    SLCacheStatus result = kSLCacheOk;
    switch (document->status) {
      case kSLCacheDocUnchanged:
      case kSLCacheDocNew:
        break;
      case kSLCacheDocAdded:
      case kSLCacheDocUpdated:
      case kSLCacheDocRemove:
        try {
          result = syncDocument(document);
        } catch (const std::bad_alloc&) {
          result = kSLCacheOutOfMemory;
        }
        break;
      default:
        SLCacheReport(kSLCacheReportWarning, "Warn:Ignoring slc document (%s) with Invalid STATUS:%d.",
                      entry.first.c_str(), document->status);
        break;
    }
    SLCacheStore::releaseDocFile(document);
    if (result != kSLCacheOk) overall = kSLCacheSyncFailed;
  }
  documents.clear();
  return overall;
}
