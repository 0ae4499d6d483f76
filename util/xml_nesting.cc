#include "util/xml_nesting.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace {

// Bytes the parser reads as one character in UTF-8 mode, by lead byte: it steps over them
// whatever they are, markup included.
int Utf8Step(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The parser's name characters: ASCII letters and digits, "_-.:", and every byte from 127 up.
bool IsNameStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 127 || std::isalpha(u) || c == '_';
}
bool IsNameChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 127 || std::isalnum(u) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool StartsWith(const char* p, const char* tag, bool ignoreCase) {
  for (; *tag; ++p, ++tag) {
    if (!*p) return false;
    const int a = static_cast<unsigned char>(*p);
    const int b = static_cast<unsigned char>(*tag);
    if (ignoreCase ? std::tolower(a) != std::tolower(b) : a != b) return false;
  }
  return true;
}

class Scan {
 public:
  Scan(const char* text, int limit, bool utf8) : p_(text), limit_(limit), utf8_(utf8) {}

  // Runs the scan; true as soon as the nesting passes the limit.
  bool TooDeep() {
    if (!utf8_ && StartsWith(p_, "\xEF\xBB\xBF", false)) utf8_ = true;
    bool encodingChosen = utf8_;
    while (true) {
      SkipSpace();
      if (*p_ != '<') return false;  // text at the top ends the parser's reading
      const bool wasDeclaration = StartsWith(p_, "<?xml", true);
      if (!Node()) return tooDeep_;
      if (wasDeclaration && !encodingChosen) {
        // A declaration at the top decides the encoding of the rest.
        encodingChosen = true;
        utf8_ = declaredEncoding_.empty() || StartsWith(declaredEncoding_.c_str(), "UTF-8", true) ||
                StartsWith(declaredEncoding_.c_str(), "UTF8", true);
      }
      if (tooDeep_) return true;
    }
  }

 private:
  void SkipSpace() {
    while (*p_) {
      if (utf8_ && static_cast<unsigned char>(p_[0]) == 0xEF &&
          ((static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF) ||
           (static_cast<unsigned char>(p_[1]) == 0xBF &&
            (static_cast<unsigned char>(p_[2]) == 0xBE || static_cast<unsigned char>(p_[2]) == 0xBF)))) {
        p_ += 3;
      } else if (IsSpace(*p_)) {
        ++p_;
      } else {
        break;
      }
    }
  }

  // One character the way the parser's text reader takes it: a multi-byte character in UTF-8
  // mode, a character reference up to its ";", or one byte. False where the parser fails
  // (a bad reference) or the text ends inside the character.
  bool Char() {
    const int step = utf8_ ? Utf8Step(static_cast<unsigned char>(*p_)) : 1;
    if (step > 1) {
      for (int i = 0; i < step; ++i) {
        if (!p_[i]) return false;
      }
      p_ += step;
      return true;
    }
    if (*p_ == '&' && p_[1] == '#' && p_[2]) {
      // The reference runs to the next ";"; what lies between its last "x" (or "#") and the ";"
      // must be digits, whatever comes before.
      const bool hex = p_[2] == 'x';
      if (hex && !p_[3]) return false;
      const char* end = std::strchr(p_ + (hex ? 3 : 2), ';');
      if (!end) return false;
      for (const char* q = end - 1; *q != (hex ? 'x' : '#'); --q) {
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(*q)) : std::isdigit(static_cast<unsigned char>(*q))))
          return false;
      }
      p_ = end + 1;
      return true;
    }
    ++p_;
    return true;
  }

  // Reads characters up to and past `end`; false when the text ends first.
  bool ReadTextPast(const char* end) {
    while (*p_ && !StartsWith(p_, end, false)) {
      if (!Char()) return false;
    }
    if (!*p_) return false;
    p_ += std::strlen(end);
    return *p_ != '\0';
  }

  // Bytes up to and past `end`, with no character decoding.
  bool SkipBytesPast(const char* end) {
    while (*p_ && !StartsWith(p_, end, false)) ++p_;
    if (!*p_) return false;
    p_ += std::strlen(end);
    return true;
  }

  bool Name() {
    if (!IsNameStart(*p_)) return false;
    while (*p_ && IsNameChar(*p_)) ++p_;
    return true;
  }

  // name = value, the value quoted or bare.
  bool Attribute(std::string* value) {
    SkipSpace();
    if (!Name()) return false;
    SkipSpace();
    if (*p_ != '=') return false;
    ++p_;
    SkipSpace();
    if (!*p_) return false;
    if (*p_ == '"' || *p_ == '\'') {
      const char quote[2] = {*p_, '\0'};
      ++p_;
      const char* start = p_;
      while (*p_ && *p_ != quote[0]) {
        if (!Char()) return false;
      }
      if (!*p_) return false;
      if (value) value->assign(start, p_ - start);
      ++p_;
      return *p_ != '\0';
    }
    const char* start = p_;
    while (*p_ && !IsSpace(*p_) && *p_ != '/' && *p_ != '>') {
      if (*p_ == '"' || *p_ == '\'') return false;
      ++p_;
    }
    if (value) value->assign(start, p_ - start);
    return true;
  }

  bool Declaration() {
    p_ += 5;  // "<?xml"
    declaredEncoding_.clear();
    while (*p_) {
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      SkipSpace();
      if (StartsWith(p_, "version", true) || StartsWith(p_, "standalone", true)) {
        if (!Attribute(nullptr)) return false;
      } else if (StartsWith(p_, "encoding", true)) {
        if (!Attribute(&declaredEncoding_)) return false;
      } else {
        while (*p_ && *p_ != '>' && !IsSpace(*p_)) ++p_;
      }
    }
    return false;
  }

  // The node at '<' (not an end tag), elements with everything inside them. False where the
  // parser stops.
  bool Node() {
    if (StartsWith(p_, "<?xml", true)) return Declaration();
    if (StartsWith(p_, "<!--", false)) {
      p_ += 4;
      return SkipBytesPast("-->");
    }
    if (StartsWith(p_, "<![CDATA[", false)) {
      p_ += 9;
      return SkipBytesPast("]]>");
    }
    if (!IsNameStart(p_[1])) {  // anything else the parser keeps as an unknown node
      while (*p_ && *p_ != '>') ++p_;
      if (*p_) ++p_;
      return true;
    }
    return Element();
  }

  // An element and its content, iteratively: the stack holds the names of the open elements.
  bool Element() {
    const size_t base = stack_.size();
    if (!OpenTag()) return false;
    while (stack_.size() > base) {
      if (tooDeep_) return false;
      // Content: text up to the next '<', then an end tag or a node.
      SkipSpace();
      if (!*p_) return false;
      if (*p_ != '<') {
        if (!ReadTextPast("<")) return false;
        --p_;  // the '<' starts what follows
        continue;
      }
      if (StartsWith(p_, "</", false)) {
        const std::string& name = stack_.back();
        if (std::strncmp(p_ + 2, name.c_str(), name.size()) != 0) return false;
        p_ += 2 + name.size();
        SkipSpace();
        if (*p_ != '>') return false;
        ++p_;
        stack_.pop_back();
        continue;
      }
      if (!IsNameStart(p_[1]) || StartsWith(p_, "<?xml", true) || p_[1] == '!') {
        if (!Node()) return false;
        continue;
      }
      if (!OpenTag()) return false;
    }
    return true;
  }

  // The start tag at '<': its name goes on the stack unless the tag closes itself.
  bool OpenTag() {
    ++p_;
    const char* name = p_;
    if (!Name()) return false;
    stack_.emplace_back(name, p_ - name);
    if (static_cast<int>(stack_.size()) > limit_) {
      tooDeep_ = true;
      return false;
    }
    while (*p_) {
      SkipSpace();
      if (!*p_) return false;
      if (*p_ == '/') {
        ++p_;
        if (*p_ != '>') return false;
        ++p_;
        stack_.pop_back();
        return true;
      }
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      if (!Attribute(nullptr)) return false;
      if (!*p_) return false;
    }
    return false;
  }

  const char* p_;
  const int limit_;
  bool utf8_;
  bool tooDeep_ = false;
  std::vector<std::string> stack_;
  std::string declaredEncoding_;
};

}  // namespace

bool XmlNestsDeeperThan(const std::string& text, int limit, XmlScanEncoding encoding) {
  Scan scan(text.c_str(), limit, encoding == XmlScanEncoding::kUtf8);
  return scan.TooDeep();
}

std::string XmlParserInput(const std::string& text) {
  std::string padded;
  padded.reserve(text.size() + 4);
  padded.append(text.c_str());  // the parser reads up to the first zero byte
  padded.append(4, '\0');
  return padded;
}
