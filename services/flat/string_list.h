// An ordered list of owned texts with a cursor: the carrier of text lists across the flat
// interface.
#ifndef QEM_SERVICES_FLAT_STRING_LIST_H_
#define QEM_SERVICES_FLAT_STRING_LIST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "services/core/ref_object.h"

class _QemStringList : public QemRefObject {
 public:
  uint32_t TypeCode() const override { return kQemTypeStringList; }

  size_t Count() const { return texts_.size(); }
  // Puts the cursor on the first text.
  void Reset() { cursor_ = 0; }
  // The text under the cursor, then the cursor moves on; null past the last text. The text
  // stays valid until the list is changed or destroyed.
  const char* GetNext();
  // Appends a copy of the text and puts the cursor back on the first text.
  void Add(const char* text);

 private:
  std::vector<std::string> texts_;
  size_t cursor_ = 0;
};

#endif  // QEM_SERVICES_FLAT_STRING_LIST_H_
