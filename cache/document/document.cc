#include "cache/document/document.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cache/document/internal.h"
#include "cache/document/report.h"
#include "util/xml_nesting.h"

using slcache::internal::Allocate;
using slcache::internal::AllocationAllowed;
using slcache::internal::DestroyElement;
using slcache::internal::kIdAttribute;
using slcache::internal::kKeyTag;
using slcache::internal::kNodeTag;
using slcache::internal::KeyElementValue;
using slcache::internal::NewElementWithId;
using slcache::internal::NewTextNode;
using slcache::internal::NoThrow;
using slcache::internal::SetTextValue;
using slcache::internal::SetKeyElementValue;

const char kSLCacheEmptyTemplate[] =
    "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key><key id=\"IsValid\">1</key>"
    "<key id=\"TimeStamp\">1</key></node></SLCInfo>";
const char kSLCacheMetaId[] = "__SLCMeta__";
const char kSLCacheVersionKey[] = "VERSION";
const char kSLCacheIsValidKey[] = "IsValid";
const char kSLCacheTimeStampKey[] = "TimeStamp";
const char kSLCacheSealNodeId[] = "__slcps__";

namespace {

const char kNullArgument[] = "Warn:Invalid argument subdomain or key or value is null.";

bool g_time_is_fixed = false;
int64_t g_fixed_time = 0;
int g_failing_allocation = 0;  // countdown to the allocation that fails; 0 = none

// Whether the parser would drop a text holding `value`: it is not empty and made only of what the
// parser's own test takes for white space.
bool IsBlank(const char* value) {
  if (!*value) return false;
  for (; *value; ++value) {
    char c = *value;
    if (!(std::isspace(static_cast<unsigned char>(c)) || c == '\n' || c == '\r')) return false;
  }
  return true;
}

// A document's status after a value was written through it: New and Remove become Added, Added
// and Updated stay, anything else (Unchanged) becomes Updated.
int32_t DocumentAfterWrite(int32_t status) {
  switch (status) {
    case kSLCacheDocNew:
    case kSLCacheDocRemove:
      return kSLCacheDocAdded;
    case kSLCacheDocAdded:
    case kSLCacheDocUpdated:
      return status;
    default:
      return kSLCacheDocUpdated;
  }
}

// A record's status after a value was written through it: New becomes Added (its element is
// attached now), Remove becomes Updated (its element is attached again), Added and Updated stay,
// anything else becomes Updated.
int32_t RecordAfterWrite(int32_t status) {
  switch (status) {
    case kSLCacheDocNew:
      return kSLCacheDocAdded;
    case kSLCacheDocAdded:
      return status;
    default:
      return kSLCacheDocUpdated;
  }
}

// Attaches an element that is not yet in a tree as the last child of `parent`.
void Attach(TiXmlElement* parent, TiXmlElement* element) {
  if (parent && element && !element->Parent()) parent->LinkEndChild(element);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Helpers shared inside the library.

namespace slcache {
namespace internal {

bool AllocationAllowed() {
  if (g_failing_allocation > 0 && --g_failing_allocation == 0) return false;
  return true;
}

TiXmlElement* NewElementWithId(const char* tag, const char* id) {
  TiXmlElement* element = Allocate<TiXmlElement>(tag);
  if (!element) return nullptr;
  try {
    element->SetAttribute(kIdAttribute, id);
  } catch (const std::bad_alloc&) {
    delete element;
    return nullptr;
  }
  return element;
}

TiXmlNode* CloneNode(const TiXmlNode& node) {
  if (!AllocationAllowed()) return nullptr;
  try {
    return node.Clone();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

TiXmlText* NewTextNode(const char* value) {
  TiXmlText* text = Allocate<TiXmlText>(value);
  if (text) text->SetCDATA(IsBlank(value));
  return text;
}

void SetTextValue(TiXmlText* text, const char* value) {
  text->SetValue(value);
  text->SetCDATA(IsBlank(value));
}

bool SetKeyElementValue(TiXmlElement* element, const char* value) {
  TiXmlNode* first = element->FirstChild();
  if (first && first->ToText()) {
    SetTextValue(first->ToText(), value);
    return true;
  }
  TiXmlText* text = NewTextNode(value);
  if (!text) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Failed to create TiXmlText.");
    return false;
  }
  element->LinkEndChild(text);
  return true;
}

const char* KeyElementValue(const TiXmlElement* element) {
  const TiXmlNode* first = element ? element->FirstChild() : nullptr;
  const TiXmlText* text = first ? first->ToText() : nullptr;
  return text ? text->Value() : "";
}

void DestroyElement(TiXmlElement* element) {
  if (!element) return;
  if (TiXmlNode* parent = element->Parent()) {
    parent->RemoveChild(element);
  } else {
    delete element;
  }
}

}  // namespace internal

namespace testing {

void SetCurrentTime(const int64_t* fixed) {
  g_time_is_fixed = fixed != nullptr;
  g_fixed_time = fixed ? *fixed : 0;
}

void FailAllocation(int nth) { g_failing_allocation = nth > 0 ? nth : 0; }

}  // namespace testing
}  // namespace slcache

int64_t SLCacheCurrentTime() {
  if (g_time_is_fixed) return g_fixed_time;
  return static_cast<int64_t>(std::time(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Free operations on elements.

TiXmlElement* findElementById(TiXmlElement* parent, const char* id) {
  if (!parent || !id) return nullptr;
  for (TiXmlElement* child = parent->FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    const char* childId = child->Attribute(kIdAttribute);
    if (childId && std::strcmp(childId, id) == 0) return child;
  }
  return nullptr;
}

bool removeElementById(TiXmlElement* parent, const char* id) {
  TiXmlElement* element = findElementById(parent, id);
  if (!element) return false;
  if (element->Parent() == parent) parent->RemoveChild(element);
  return true;
}

SLCacheStatus getSubDomainIds(const TiXmlElement* root, std::set<std::string>* ids) {
  if (!root) {
    SLCacheReport(kSLCacheReportInfo, "Invalid argument docRootElement null.");
    return kSLCacheNullArgument;
  }
  if (!ids) return kSLCacheNullArgument;
  return NoThrow([&]() -> SLCacheStatus {
    for (const TiXmlElement* child = root->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
      if (const char* id = child->Attribute(kIdAttribute)) ids->insert(id);
    }
    return kSLCacheOk;
  });
}

SLCacheStatus SLCachePrintCompact(const TiXmlNode* node, std::string* text) {
  if (!node || !text) return kSLCacheNullArgument;
  return NoThrow([&]() -> SLCacheStatus {
    TiXmlPrinter printer;
    printer.SetIndent("");
    printer.SetLineBreak("");
    node->Accept(&printer);
    *text = printer.Str();
    return kSLCacheOk;
  });
}

char* SLCacheCopyString(const char* text) {
  if (!text || !AllocationAllowed()) return nullptr;
  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

void SLCacheFreeStringList(char** list) {
  if (!list) return;
  for (char** entry = list; *entry; ++entry) std::free(*entry);
  std::free(list);
}

// ---------------------------------------------------------------------------------------------
// Records.

SLCacheSubDomainChild::~SLCacheSubDomainChild() {
  if (status == kSLCacheDocNew && element && !element->Parent()) delete element;
}

SLCacheSubDomain::~SLCacheSubDomain() {
  children.clear();
  removedKeys.clear();
  if (status == kSLCacheDocNew && element && !element->Parent()) delete element;
}

// ---------------------------------------------------------------------------------------------
// SLCacheDoc.

SLCacheDoc::SLCacheDoc(int32_t initialStatus) : status(initialStatus) {
  // A value must read back exactly as written: the parser's default would fold runs of white
  // space and trim it at both ends. The setting is process-wide in TinyXML.
  TiXmlBase::SetCondenseWhiteSpace(false);
}

// Records go before the tree they point into (members are destroyed in reverse order).
SLCacheDoc::~SLCacheDoc() = default;

SLCacheStatus SLCacheDoc::parseInto(const std::string& text, bool forNewDocument) {
  const char* docName = name.c_str();
  xmlDocument.reset(Allocate<TiXmlDocument>());
  if (!xmlDocument) {
    SLCacheReport(kSLCacheReportWarning,
                  "Warn:Failed to allocate memeory for new cahce document-[%s].", docName);
    return kSLCacheOutOfMemory;
  }
  // The parser recurses once per nesting level: a text nested deeper than any document ever
  // written is refused before it can exhaust the stack.
  if (XmlNestsDeeperThan(text, kXmlMaxNesting, XmlScanEncoding::kUnknown)) {
    SLCacheReport(kSLCacheReportError,
                  "ERROR:Failed to parse the slc document data, nested too deep-[%s].", docName);
    return kSLCacheParseFailed;
  }
  try {
    xmlDocument->Parse(XmlParserInput(text).c_str());
  } catch (...) {
    if (forNewDocument) {
      SLCacheReport(kSLCacheReportError,
                    "ERROR:Failed to parse the slc document data to initialize, got "
                    "exception.[%s]",
                    docName);
    } else {
      SLCacheReport(kSLCacheReportError,
                    "ERROR:Got exception while parsing the slc document data-[%s].", docName);
    }
    return kSLCacheParseFailed;
  }
  if (xmlDocument->Error()) {
    SLCacheReport(kSLCacheReportError,
                  "ERROR:Failed to parse the slc document data. Error Description:[%s]-[%s].",
                  docName, xmlDocument->ErrorDesc());
    return kSLCacheParseFailed;
  }
  rootElement = xmlDocument->FirstChildElement();
  return kSLCacheOk;
}

SLCacheStatus SLCacheDoc::initWithXMLString(const std::string& text, const char* docName,
                                            const char* docFileName) {
  if (!docName || !docFileName) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument NULL Argument to SLCacheDoc.");
    return kSLCacheBadInitArgument;
  }
  if (xmlDocument || rootElement) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Document is already initialized - [%s].",
                  docName);
    return kSLCacheAlreadyInitialized;
  }
  if (text.empty()) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Can't initialize SLCache empty xml string-[%s].",
                  docName);
    return kSLCacheBadInitArgument;
  }
  return NoThrow([&]() -> SLCacheStatus {
    name = docName;
    fileName = docFileName;
    SLCacheStatus result = parseInto(text, false);
    if (result != kSLCacheOk) return result;
    status = kSLCacheDocUnchanged;
    result = upgradeToLatestVersion();
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo,
                    "Failed to upgrade the slc document <%s> to the latest verstion.", docName);
      return result;
    }
    result = getTimeStamp(&timeStamp);
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo, "Failed to get the slc document <%s> Time stamp.",
                    docName);
      return result;
    }
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::initNewDocument(const char* docName, const char* docFileName) {
  if (!docName || !docFileName) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument NULL Argument to SLCacheDoc.");
    return kSLCacheBadInitArgument;
  }
  if (xmlDocument || rootElement) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Document is already initialized-[%s].", docName);
    return kSLCacheAlreadyInitialized;
  }
  return NoThrow([&]() -> SLCacheStatus {
    name = docName;
    fileName = docFileName;
    SLCacheStatus result = parseInto(kSLCacheEmptyTemplate, true);
    if (result != kSLCacheOk) return result;
    status = kSLCacheDocNew;
    result = setTimeStamp(SLCacheCurrentTime());
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo,
                    "While creating failed to set the Time stamp for slc document <%s>.",
                    docName);
      return result;
    }
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::upgradeToLatestVersion() {
  return NoThrow([&]() -> SLCacheStatus {
    const char* version = nullptr;
    SLCacheStatus result = getValueForKey(kSLCacheMetaId, kSLCacheVersionKey, &version);
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo, "Failed to get the version number of the slc document.");
      return result;
    }
    // The number at the start of the text, as atoi reads it; only version 1 is upgraded.
    if (std::strtol(version, nullptr, 10) != 1) return kSLCacheOk;
    char latest[16];
    std::snprintf(latest, sizeof latest, "%d", 2);
    result = setValueForKey(kSLCacheMetaId, kSLCacheVersionKey, latest);
    if (result != kSLCacheOk) return result;
    result = setTimeStamp(SLCacheCurrentTime());
    if (result != kSLCacheOk) return result;
    return setValueForKey(kSLCacheMetaId, kSLCacheIsValidKey, "1");
  });
}

SLCacheStatus SLCacheDoc::getTimeStamp(int64_t* seconds) {
  if (!seconds) return kSLCacheNullArgument;
  *seconds = 0;
  const char* text = nullptr;
  SLCacheStatus result = getValueForKey(kSLCacheMetaId, kSLCacheTimeStampKey, &text);
  if (result != kSLCacheOk) return result;
  if (!*text) {
    SLCacheReport(kSLCacheReportError, "ERROR:Got NULL/empty chars for the Time.");
    return kSLCacheBadTimeStamp;
  }
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') {
      SLCacheReport(kSLCacheReportError, "ERROR:Got invalid chars for the Time.");
      return kSLCacheBadTimeStamp;
    }
  }
  // Digits only: strtoll reads them all, and stops at the largest value on overflow.
  *seconds = static_cast<int64_t>(std::strtoll(text, nullptr, 10));
  return kSLCacheOk;
}

SLCacheStatus SLCacheDoc::setTimeStamp(int64_t seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(seconds));
  return setValueForKey(kSLCacheMetaId, kSLCacheTimeStampKey, text);
}

SLCacheStatus SLCacheDoc::getSubDomainRecord(const char* subDomain, SLCacheSubDomain** record) {
  if (!subDomain || !record) return kSLCacheNullArgument;
  *record = nullptr;
  return NoThrow([&]() -> SLCacheStatus {
    auto found = subDomains.find(subDomain);
    if (found != subDomains.end() && found->second) {
      *record = found->second.get();
      return kSLCacheOk;
    }
    TiXmlElement* element = findElementById(rootElement, subDomain);
    if (!element) return kSLCacheOk;
    std::unique_ptr<SLCacheSubDomain> created(
        Allocate<SLCacheSubDomain>(kSLCacheDocUnchanged, element));
    if (!created) return kSLCacheNoMemoryForObject;
    *record = created.get();
    subDomains[subDomain] = std::move(created);
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::getSubDomainChildRecord(SLCacheSubDomain* record, const char* key,
                                                  SLCacheSubDomainChild** child) {
  if (!record || !key || !child) {
    SLCacheReport(kSLCacheReportWarning, "Warn:getSubDomainChildRecord Null arguments.");
    return kSLCacheNullArgument;
  }
  *child = nullptr;
  return NoThrow([&]() -> SLCacheStatus {
    auto found = record->children.find(key);
    if (found != record->children.end() && found->second) {
      *child = found->second.get();
      return kSLCacheOk;
    }
    TiXmlElement* element = findElementById(record->element, key);
    if (!element) return kSLCacheOk;
    std::unique_ptr<SLCacheSubDomainChild> created(
        Allocate<SLCacheSubDomainChild>(kSLCacheDocUnchanged, element));
    if (!created) return kSLCacheNoMemoryForObject;
    *child = created.get();
    record->children[key] = std::move(created);
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::createSubDomainRecord(const char* subDomain,
                                                std::unique_ptr<SLCacheSubDomain>* record) {
  if (!subDomain || !record) return kSLCacheNullArgument;
  TiXmlElement* element = NewElementWithId(kNodeTag, subDomain);
  if (!element) {
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory for new Subdomain.");
    SLCacheReport(kSLCacheReportInfo, "Failed to create new SubDomain record");
    return kSLCacheOutOfMemory;
  }
  SLCacheSubDomain* created = Allocate<SLCacheSubDomain>(kSLCacheDocNew, element);
  if (!created) {
    delete element;
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory For cache subDomain record ");
    return kSLCacheOutOfMemory;
  }
  record->reset(created);
  return kSLCacheOk;
}

SLCacheStatus SLCacheDoc::createSubDomainChildRecord(
    const char* key, std::unique_ptr<SLCacheSubDomainChild>* child) {
  if (!key || !child) return kSLCacheNullArgument;
  TiXmlElement* element = NewElementWithId(kKeyTag, key);
  if (!element) {
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory for new Subdomain.");
    SLCacheReport(kSLCacheReportInfo, "Failed to create new SubDomain Child record");
    return kSLCacheOutOfMemory;
  }
  SLCacheSubDomainChild* created = Allocate<SLCacheSubDomainChild>(kSLCacheDocNew, element);
  if (!created) {
    delete element;
    SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory For cache subDomain record ");
    return kSLCacheOutOfMemory;
  }
  child->reset(created);
  return kSLCacheOk;
}

SLCacheStatus SLCacheDoc::setValueForKey(const char* subDomain, const char* key,
                                         const char* value) {
  if (!subDomain || !key || !value) {
    SLCacheReport(kSLCacheReportWarning, kNullArgument);
    return kSLCacheNullArgument;
  }
  if (!*subDomain || !*key) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key is empty.");
    return kSLCacheBadArgument;
  }
  if (!*value) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument value is empty.");
    return kSLCacheBadArgument;
  }
  // An uninitialised document has no tree to write into.
  if (!rootElement) return kSLCacheNoElement;
  return NoThrow([&]() -> SLCacheStatus {
    SLCacheSubDomain* record = nullptr;
    SLCacheStatus result = getSubDomainRecord(subDomain, &record);
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo, "Failed to get Sub Domain Element.");
      return result;
    }
    // Records made here stay owned by these holders until the write has succeeded, so that every
    // failure below destroys them with their unattached elements and leaves the document as it
    // was.
    std::unique_ptr<SLCacheSubDomain> newRecord;
    if (!record || record->status == kSLCacheDocRemove) {
      result = createSubDomainRecord(subDomain, &newRecord);
      if (result != kSLCacheOk) {
        SLCacheReport(kSLCacheReportInfo, "Failed to get New Sub Domain.");
        return result;
      }
      record = newRecord.get();
    }
    SLCacheSubDomainChild* child = nullptr;
    result = getSubDomainChildRecord(record, key, &child);
    if (result != kSLCacheOk) {
      SLCacheReport(kSLCacheReportInfo, "Failed to get Sub Domain child.");
      return result;
    }
    std::unique_ptr<SLCacheSubDomainChild> newChild;
    if (!child || child->status == kSLCacheDocRemove) {
      result = createSubDomainChildRecord(key, &newChild);
      if (result != kSLCacheOk) {
        SLCacheReport(kSLCacheReportInfo, "Failed to create Sub Domain Element.");
        return result;
      }
      child = newChild.get();
    }
    // The map entries that markRecordsChanged fills; made now, while a failure changes nothing
    // that counts (an empty entry stands for no record).
    if (newRecord) subDomains[subDomain];
    if (newChild) record->children[key];

    if (!SetKeyElementValue(child->element, value)) return kSLCacheOutOfMemory;
    newRecord.release();  // markRecordsChanged hands them to the document
    newChild.release();
    markRecordsChanged(child, record, subDomain, key);
    return kSLCacheOk;
  });
}

void SLCacheDoc::markRecordsChanged(SLCacheSubDomainChild* child, SLCacheSubDomain* record,
                                    const char* subDomain, const char* key) {
  status = DocumentAfterWrite(status);

  if (record) {
    int32_t before = record->status;
    record->status = RecordAfterWrite(before);
    if (before == kSLCacheDocNew || before == kSLCacheDocRemove) {
      Attach(rootElement, record->element);
    }
    if (before == kSLCacheDocNew && subDomain) {
      std::unique_ptr<SLCacheSubDomain>& entry = subDomains[subDomain];
      if (entry.get() != record) entry.reset(record);
    }
  }

  if (child && record) {
    int32_t before = child->status;
    child->status = RecordAfterWrite(before);
    if (before == kSLCacheDocNew || before == kSLCacheDocRemove) {
      Attach(record->element, child->element);
    }
    if (before == kSLCacheDocNew && key) {
      std::unique_ptr<SLCacheSubDomainChild>& entry = record->children[key];
      if (entry.get() != child) entry.reset(child);
    }
  }
}

SLCacheStatus SLCacheDoc::getValueForKey(const char* subDomain, const char* key,
                                         const char** value) {
  if (!subDomain || !key || !value) {
    SLCacheReport(kSLCacheReportWarning, kNullArgument);
    return kSLCacheNullArgument;
  }
  if (!*subDomain || !*key) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain or key is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheSubDomain* record = nullptr;
  SLCacheStatus result = getSubDomainRecord(subDomain, &record);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get Sub Domain Element.");
    return result;
  }
  if (!record || record->status == kSLCacheDocRemove) return kSLCacheNotFound;
  SLCacheSubDomainChild* child = nullptr;
  result = getSubDomainChildRecord(record, key, &child);
  if (result != kSLCacheOk) return result;
  if (!child || child->status == kSLCacheDocRemove) return kSLCacheNotFound;
  *value = KeyElementValue(child->element);
  return kSLCacheOk;
}

SLCacheStatus SLCacheDoc::getKeysInSubDomain(const char* subDomain, char*** keys) {
  if (!subDomain || !keys) {
    SLCacheReport(kSLCacheReportWarning, kNullArgument);
    return kSLCacheNullArgument;
  }
  if (!*subDomain) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheSubDomain* record = nullptr;
  SLCacheStatus result = getSubDomainRecord(subDomain, &record);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get Sub Domain Element.");
    return result;
  }
  if (!record || record->status == kSLCacheDocRemove) return kSLCacheNotFound;
  if (!record->element) {
    SLCacheReport(kSLCacheReportInfo, "Found NULL Sub Domain Element.");
    return kSLCacheNoElement;
  }
  size_t count = 0;
  for (const TiXmlElement* key = record->element->FirstChildElement(); key;
       key = key->NextSiblingElement()) {
    ++count;
  }
  char** list = AllocationAllowed()
                    ? static_cast<char**>(std::calloc(count + 1, sizeof(char*)))
                    : nullptr;
  if (!list) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Failed to allocate memory for stringRef list.");
    return kSLCacheOutOfMemory;
  }
  size_t index = 0;
  for (const TiXmlElement* key = record->element->FirstChildElement(); key;
       key = key->NextSiblingElement()) {
    char* copy = SLCacheCopyString(key->Attribute(kIdAttribute));
    if (!copy) {
      SLCacheReport(kSLCacheReportInfo, "Failed to allocate memory for a feature.");
      SLCacheFreeStringList(list);  // the list is zero-filled past the copies made
      return kSLCacheOutOfMemory;
    }
    list[index++] = copy;
  }
  *keys = list;
  return kSLCacheOk;
}

void SLCacheDoc::setStatusAfterRemoval(const char* subDomain) {
  status = name == subDomain ? kSLCacheDocRemove : kSLCacheDocUpdated;
}

SLCacheStatus SLCacheDoc::removeSubDomain(const char* subDomain) {
  if (!subDomain) {
    SLCacheReport(kSLCacheReportWarning, kNullArgument);
    return kSLCacheNullArgument;
  }
  if (!*subDomain) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheSubDomain* record = nullptr;
  SLCacheStatus result = getSubDomainRecord(subDomain, &record);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get Sub Domain Element %d.", result);
    return result;
  }
  if (!record || record->status == kSLCacheDocRemove) return kSLCacheNotFound;
  if (!record->element) {
    SLCacheReport(kSLCacheReportInfo, "Found NULL Sub Domain Element.");
    return kSLCacheNoElement;
  }
  return NoThrow([&]() -> SLCacheStatus {
    removedSubDomains.insert(subDomain);  // first: the one step here that can fail
    DestroyElement(record->element);
    record->element = nullptr;
    record->status = kSLCacheDocRemove;
    subDomains.erase(subDomain);  // destroys the record and its key records
    setStatusAfterRemoval(subDomain);
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::removeKeyInSubDomain(const char* subDomain, const char* key) {
  if (!subDomain || !key) {
    SLCacheReport(kSLCacheReportWarning, kNullArgument);
    return kSLCacheNullArgument;
  }
  if (!*subDomain || !*key) {
    SLCacheReport(kSLCacheReportWarning, "Warn:Invalid argument subdomain is empty.");
    return kSLCacheBadArgument;
  }
  SLCacheSubDomain* record = nullptr;
  SLCacheStatus result = getSubDomainRecord(subDomain, &record);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get SubDomain Element %d.", result);
    return result;
  }
  if (!record || record->status == kSLCacheDocRemove) {
    SLCacheReport(kSLCacheReportInfo, "NO SubDomain with id <%s> found.", subDomain);
    return kSLCacheNotFound;
  }
  SLCacheSubDomainChild* child = nullptr;
  result = getSubDomainChildRecord(record, key, &child);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo, "Failed to get SubDomain child %d.", result);
    return result;
  }
  if (!child || child->status == kSLCacheDocRemove) {
    SLCacheReport(kSLCacheReportInfo, "NO key found with id <%s> in SubDomain <%s>.", key,
                  subDomain);
    return kSLCacheNotFound;
  }
  return NoThrow([&]() -> SLCacheStatus {
    record->removedKeys.insert(key);  // first: the one step here that can fail
    DestroyElement(child->element);
    child->element = nullptr;
    child->status = kSLCacheDocRemove;
    record->children.erase(key);  // destroys the key record
    if (status < kSLCacheDocNew || status > kSLCacheDocRemove) status = kSLCacheDocUpdated;
    if (!record->element->FirstChildElement()) {
      SLCacheReport(kSLCacheReportInfo, "No Children found for the subDomain <%s>, deleting it.",
                    subDomain);
      removeSubDomain(subDomain);
      return kSLCacheOk;
    }
    record->status = kSLCacheDocUpdated;
    return kSLCacheOk;
  });
}
