// Helpers shared by the sources of the document library; not part of its interface.
#ifndef QEM_CACHE_DOCUMENT_INTERNAL_H_
#define QEM_CACHE_DOCUMENT_INTERNAL_H_

#include <tinyxml.h>

#include <new>
#include <utility>

#include "cache/document/status.h"

namespace slcache {
namespace internal {

// Tags and the attribute of the document format.
constexpr char kNodeTag[] = "node";
constexpr char kKeyTag[] = "key";
constexpr char kIdAttribute[] = "id";

// False when the test hook makes this allocation fail.
bool AllocationAllowed();

// A new object, or null when memory is exhausted (or the test hook says so).
template <class T, class... Args>
T* Allocate(Args&&... args) {
  if (!AllocationAllowed()) return nullptr;
  try {
    return new T(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Runs an operation so that exhausted memory anywhere in it comes back as kSLCacheOutOfMemory
// instead of an exception.
template <class Operation>
SLCacheStatus NoThrow(Operation&& operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return kSLCacheOutOfMemory;
  }
}

// A new, unattached element `<tag id="id">`, or null when memory is exhausted.
TiXmlElement* NewElementWithId(const char* tag, const char* id);

// A deep copy of a node, unattached, or null when memory is exhausted.
TiXmlNode* CloneNode(const TiXmlNode& node);

// A new text node holding `value`, or null when memory is exhausted. SetTextValue writes a value
// into an existing one. Both keep a blank value (only white space) in CDATA form, the one form
// in which the parser does not drop it.
TiXmlText* NewTextNode(const char* value);
void SetTextValue(TiXmlText* text, const char* value);

// Writes `value` as a key element's value: into its first child when that is a text node, else
// into a new text node appended to it. False (after a report) when memory is exhausted.
bool SetKeyElementValue(TiXmlElement* element, const char* value);

// The value of a key element: the text of its first child when that child is a text node,
// else "".
const char* KeyElementValue(const TiXmlElement* element);

// Unlinks an element from its parent, if it has one, and destroys it with its subtree.
void DestroyElement(TiXmlElement* element);

}  // namespace internal
}  // namespace slcache

#endif  // QEM_CACHE_DOCUMENT_INTERNAL_H_
