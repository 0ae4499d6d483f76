// UTF-8 / UTF-16 conversion for POSIX, written to give the same answers as the Win32
// conversion functions without flags: every ill-formed sequence becomes U+FFFD.
#include "platform/platform.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[*i], advancing *i past what it used. An ill-formed sequence
// yields U+FFFD and consumes its longest valid prefix (at least one byte).
char32_t DecodeUtf8(const std::string& text, size_t* i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(*i);
  if (lead < 0x80) {
    ++*i;
    return lead;
  }
  size_t length;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    ++*i;
    return kReplacement;
  }
  size_t k = *i + 1;
  for (size_t n = 1; n < length; ++n, ++k) {
    if (k >= text.size()) {
      *i = k;
      return kReplacement;
    }
    const unsigned char b = byte(k);
    const unsigned char min = n == 1 ? lo : 0x80;
    const unsigned char max = n == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      *i = k;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  *i = k;
  return cp;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char32_t cp = DecodeUtf8(text, &i);
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      cp = kReplacement;  // a lone surrogate
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

}  // namespace platform
