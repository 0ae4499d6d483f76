// The merge: a stored text, parsed afresh, takes the changes recorded in an in-memory document.
// Only what the records say was added, updated or removed is replayed; everything else keeps
// what the stored text holds, and the replay wins for what it touches.
#include <memory>

#include "cache/document/document.h"
#include "cache/document/internal.h"
#include "cache/document/report.h"

using slcache::internal::CloneNode;
using slcache::internal::DestroyElement;
using slcache::internal::kKeyTag;
using slcache::internal::kNodeTag;
using slcache::internal::KeyElementValue;
using slcache::internal::NewElementWithId;
using slcache::internal::SetKeyElementValue;
using slcache::internal::NoThrow;

namespace {

const char kAlreadyDeleted[] =
    "Warn:\t\t\t %s: No subdomain found, assuming it is already deleted.";

bool IsWritten(int32_t status) {
  return status == kSLCacheDocNew || status == kSLCacheDocAdded || status == kSLCacheDocUpdated;
}

}  // namespace

SLCacheStatus SLCacheDoc::initWithXMLStringAndMergeCachedDoc(const std::string& text,
                                                             const char* docName,
                                                             const char* docFileName,
                                                             const SLCacheDoc* updatedCachedDoc) {
  if (!docName || !docFileName || text.empty()) {
    SLCacheReport(kSLCacheReportInfo, "updatedCachedDoc invalid arguements.");
    return kSLCacheBadInitArgument;
  }
  if (!updatedCachedDoc) {
    SLCacheReport(kSLCacheReportInfo, "updatedCachedDoc is NULL can't merge the documents.");
    return kSLCacheBadInitArgument;
  }
  SLCacheStatus result = initWithXMLString(text, docName, docFileName);
  if (result != kSLCacheOk) {
    SLCacheReport(kSLCacheReportInfo,
                  "Failed to init the document with xml string present in the disk.");
    return result;
  }
  return NoThrow([&]() -> SLCacheStatus {
    // Sub-domains removed in memory go first, so that one removed and then written again is
    // rebuilt below from its record alone.
    // Every node with a removed id goes: a damaged or planted text may hold the same id twice,
    // and a copy left behind would bring the removed data back.
    for (const std::string& removed : updatedCachedDoc->removedSubDomains) {
      bool found = false;
      while (removeElementById(rootElement, removed.c_str())) found = true;
      if (!found) {
        SLCacheReport(kSLCacheReportInfo, "%s: No subdomain found, assuming it is already deleted.",
                      removed.c_str());
      }
    }
    for (const auto& entry : updatedCachedDoc->subDomains) {
      const SLCacheSubDomain* record = entry.second.get();
      if (!record) continue;
      const char* id = entry.first.c_str();
      TiXmlElement* node = findElementById(rootElement, id);
      if (IsWritten(record->status)) {
        // A node that another process removed meanwhile is built again, holding only what this
        // record carries.
        std::unique_ptr<TiXmlElement> built;
        if (!node) {
          built.reset(NewElementWithId(kNodeTag, id));
          if (!built) {
            SLCacheReport(kSLCacheReportWarning,
                          "Warn:Failed to Allocate Memory for new Subdomain.");
            return kSLCacheOutOfMemory;
          }
          node = built.get();
        }
        // A failure keeps what was applied to an existing node, drops a built one, and moves on.
        if (mergeSubDomainRecord(record, node) != kSLCacheOk) continue;
        if (built) rootElement->LinkEndChild(built.release());
      } else if (record->status == kSLCacheDocRemove) {
        if (node) {
          for (; node; node = findElementById(rootElement, id)) DestroyElement(node);
        } else {
          SLCacheReport(kSLCacheReportWarning, kAlreadyDeleted, id);
        }
      }
    }
    SLCacheStatus stamped = setTimeStamp(SLCacheCurrentTime());
    if (stamped != kSLCacheOk) {
      SLCacheReport(kSLCacheReportError,
                    "ERROR:Failed to reset the slc document time for the modified document %s.",
                    docName);
      return stamped;
    }
    return kSLCacheOk;
  });
}

SLCacheStatus SLCacheDoc::mergeSubDomainRecord(const SLCacheSubDomain* record, TiXmlElement* node) {
  if (!record || !node) return kSLCacheNullArgument;
  return NoThrow([&]() -> SLCacheStatus {
    for (const std::string& removed : record->removedKeys) {
      while (removeElementById(node, removed.c_str())) {
      }
    }
    for (const auto& entry : record->children) {
      const SLCacheSubDomainChild* child = entry.second.get();
      if (!child) continue;
      const char* id = entry.first.c_str();
      TiXmlElement* target = findElementById(node, id);
      if (IsWritten(child->status)) {
        if (!target) {
          target = NewElementWithId(kKeyTag, id);
          if (!target) {
            SLCacheReport(kSLCacheReportInfo, "Failed to Allocate Memory for new Subdomain.");
            return kSLCacheOutOfMemory;
          }
          node->LinkEndChild(target);
        }
        const TiXmlElement* source = child->element;
        const char* value = KeyElementValue(source);
        // Element children of the key travel as deep copies, replacing all the target holds.
        if (source && source->FirstChildElement()) {
          target->Clear();
          for (const TiXmlElement* part = source->FirstChildElement(); part;
               part = part->NextSiblingElement()) {
            TiXmlNode* copy = CloneNode(*part);
            if (!copy) {
              SLCacheReport(kSLCacheReportWarning,
                            "Warn:Failed to create a clone of sudomain child's child.");
              return kSLCacheOutOfMemory;
            }
            target->LinkEndChild(copy);
          }
        }
        if (!SetKeyElementValue(target, value)) return kSLCacheOutOfMemory;
      } else if (child->status == kSLCacheDocRemove) {
        if (target) {
          DestroyElement(target);
        } else {
          SLCacheReport(kSLCacheReportWarning, kAlreadyDeleted, id);
        }
      }
    }
    return kSLCacheOk;
  });
}
