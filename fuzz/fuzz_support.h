// Shared pieces of the fuzz targets: a scratch folder for everything a target writes, and a
// reader that splits one input into the several values a target needs.
#ifndef QEM_FUZZ_FUZZ_SUPPORT_H_
#define QEM_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qemfuzz {

// Makes a fresh scratch folder under the temporary folder and points the machine root
// ("QemSystemRoot") and the temporary folder (TMPDIR) into it, so that every file the
// libraries create stays inside; the folder is removed at exit. Answers its path.
const std::string& EnterScratch();

// Reads an input from the front: small numbers and length-prefixed texts, with zeros once the
// input runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A text of at most `limit` bytes (its length is the next byte, taken modulo limit + 1).
  std::string Text(size_t limit = 64) {
    size_t length = Byte() % (limit + 1);
    if (length > size_ - pos_) length = size_ - pos_;
    std::string text(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return text;
  }
  // Everything not read yet.
  std::string Rest() {
    std::string text(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Stops the run with a message when an expectation does not hold: libFuzzer records the input.
[[noreturn]] void Fail(const char* what, const std::string& detail = std::string());

}  // namespace qemfuzz

#define QEM_FUZZ_EXPECT(condition, detail) \
  do {                                     \
    if (!(condition)) qemfuzz::Fail(#condition, detail); \
  } while (0)

#endif  // QEM_FUZZ_FUZZ_SUPPORT_H_
