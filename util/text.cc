#include "util/text.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

std::optional<std::u16string> Utf8ToWide(const char* text) {
  if (text == nullptr) return std::nullopt;
  return platform::Utf8ToUtf16(text);
}

std::optional<std::string> WideToUtf8(const char16_t* text) {
  if (text == nullptr) return std::nullopt;
  return platform::Utf16ToUtf8(text);
}

char* CopyBounded(char* destination, size_t size, const char* source, size_t count) {
  if (destination == nullptr || source == nullptr) return nullptr;
  const size_t length = strnlen(source, count);
  if (length >= size) return nullptr;  // no room for the terminator
  std::memcpy(destination, source, length);
  const size_t clear_end = size < count ? size : count;
  if (clear_end > length) {
    std::memset(destination + length, 0, clear_end - length);
  } else {
    destination[length] = '\0';
  }
  return destination;
}

char* AppendBounded(char* destination, size_t size, const char* source, size_t count) {
  if (destination == nullptr || source == nullptr) return nullptr;
  const size_t used = strnlen(destination, size);
  if (used >= size) return nullptr;  // the destination is not even terminated
  const size_t length = strnlen(source, count);
  if (used + length >= size) return nullptr;
  std::memcpy(destination + used, source, length);
  destination[used + length] = '\0';
  return destination;
}

int FormatBoundedV(char* destination, size_t size, const char* format, va_list args) {
  if (destination == nullptr || size == 0 || format == nullptr) return -1;
  const int needed = std::vsnprintf(destination, size, format, args);
  if (needed < 0) {
    destination[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(needed) >= size) return -1;  // cut at size - 1, terminated
  return needed;
}

int FormatBounded(char* destination, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatBoundedV(destination, size, format, args);
  va_end(args);
  return result;
}
