#include "services/flat/string_list.h"

const char* _QemStringList::GetNext() {
  if (cursor_ >= texts_.size()) return nullptr;
  return texts_[cursor_++].c_str();
}

void _QemStringList::Add(const char* text) {
  texts_.emplace_back(text);
  cursor_ = 0;
}
