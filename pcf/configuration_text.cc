#include "pcf/configuration_text.h"

#include <cstring>

namespace pcf {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";

// Bytes of each opening tag besides the escaped text it carries.
constexpr size_t kPayloadTagOverhead = sizeof("<Payload kymraCode=\"\">") - 1;
constexpr size_t kDataTagOverhead = sizeof("<Data key=\"\">") - 1;

// The parser's own notion of white space (isspace in the C locale).
bool IsXmlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void AppendMarkupEscape(char c, std::string* out) {
  switch (c) {
    case '&': *out += "&amp;"; break;
    case '<': *out += "&lt;"; break;
    case '>': *out += "&gt;"; break;
    case '"': *out += "&quot;"; break;
    default: out->push_back(c); break;
  }
}

bool HasAnyEntry(const Sections& element) {
  for (const auto& section : element) {
    if (!section.second.empty()) return true;
  }
  return false;
}

}  // namespace

bool IsValidUtf8(const char* text, size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;         // overlong
      if (lead == 0xED) high = 0x9F;        // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;         // overlong
      if (lead == 0xF4) high = 0x8F;        // above U+10FFFF
    } else {
      return false;
    }
    if (size - i < length) return false;
    if (p[i + 1] < low || p[i + 1] > high) return false;
    for (size_t k = 2; k < length; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

bool IsUsableText(const char* text) {
  return text != nullptr && text[0] != '\0' && IsValidUtf8(text, std::strlen(text));
}

std::string EscapeAttribute(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\t': out += "&#x9;"; break;
      case '\n': out += "&#xA;"; break;
      case '\r': out += "&#xD;"; break;
      default: AppendMarkupEscape(c, &out); break;
    }
  }
  return out;
}

std::string EscapeValue(const std::string& value) {
  bool blank = !value.empty();
  for (char c : value) {
    if (!IsXmlBlank(c)) {
      blank = false;
      break;
    }
  }
  if (blank) return "<![CDATA[" + value + "]]>";

  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\r') {
      out += "&#xD;";
    } else {
      AppendMarkupEscape(c, &out);
    }
  }
  return out;
}

bool CodeFitsTag(const std::string& code) {
  return kPayloadTagOverhead + EscapeAttribute(code).size() <= kTagLineLimit;
}

bool KeyFitsTag(const std::string& key) {
  return kDataTagOverhead + EscapeAttribute(key).size() <= kTagLineLimit;
}

bool BuildConfigurationText(const std::string& payload, const Sections& element,
                            std::string* text) {
  if (!HasAnyEntry(element)) {
    text->clear();
    return true;
  }
  std::string out;
  out += kDeclaration;
  out += kLineEnd;
  out += "<Configuration>";
  out += kLineEnd;
  for (const auto& section : element) {
    if (!CodeFitsTag(section.first)) return false;
    // Only the payload's own code is its Payload section: a second Payload section would
    // make the file unreadable.
    const char* tag = section.first == payload ? "Payload" : "Other";
    out += "\t<";
    out += tag;
    out += " kymraCode=\"";
    out += EscapeAttribute(section.first);
    out += "\">";
    out += kLineEnd;
    for (const auto& entry : section.second) {
      if (!KeyFitsTag(entry.first)) return false;
      out += "\t\t<Data key=\"";
      out += EscapeAttribute(entry.first);
      out += "\">";
      out += EscapeValue(entry.second);
      out += "</Data>";
      out += kLineEnd;
    }
    out += "\t</";
    out += tag;
    out += ">";
    out += kLineEnd;
  }
  out += "</Configuration>";
  *text = std::move(out);
  return true;
}

}  // namespace pcf
