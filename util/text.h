// Text helpers: UTF-8 / UTF-16 conversion and bounded copies into fixed-size buffers.
#ifndef QEM_UTIL_TEXT_H_
#define QEM_UTIL_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>

// Converts UTF-8 to UTF-16 and back. Nothing results when the text is absent; what cannot be
// converted becomes U+FFFD.
std::optional<std::u16string> Utf8ToWide(const char* text);
std::optional<std::string> WideToUtf8(const char16_t* text);

// Copies at most `count` bytes of `source` (fewer when it ends first) and a terminating zero
// into `destination`. Fails (null) when that does not fit `size`. On success every byte from
// the end of the copy up to min(size, count) is zeroed, and `destination` is returned.
char* CopyBounded(char* destination, size_t size, const char* source, size_t count);

// Appends at most `count` bytes of `source` to the text in `destination`; null when the
// result (with its terminator) does not fit `size`, and the destination is then unchanged.
char* AppendBounded(char* destination, size_t size, const char* source, size_t count);

// printf into `destination`, cut at size - 1 bytes and always terminated. Returns the number
// of bytes written, or -1 when the output was cut (or formatting failed).
int FormatBounded(char* destination, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int FormatBoundedV(char* destination, size_t size, const char* format, va_list args);

#endif  // QEM_UTIL_TEXT_H_
