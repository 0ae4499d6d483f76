// The text side of payload configuration files: UTF-8 checks, escaping of texts that XML
// must not see raw, the tag-line limit, and the exact text that a save writes.
#ifndef QEM_PCF_CONFIGURATION_TEXT_H_
#define QEM_PCF_CONFIGURATION_TEXT_H_

#include <cstddef>
#include <map>
#include <string>

namespace pcf {

// Key -> value, and payload code -> entries. std::map<std::string> orders by unsigned bytes,
// which is the order the saved file lists sections and entries in.
using Entries = std::map<std::string, std::string>;
using Sections = std::map<std::string, Entries>;

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* text, size_t size);
inline bool IsValidUtf8(const std::string& text) {
  return IsValidUtf8(text.data(), text.size());
}
// A non-null, non-empty, valid UTF-8 text: what every text argument must be.
bool IsUsableText(const char* text);

// Keys and codes stand in double-quoted attributes. "&", "<", ">" and '"' become named
// entities; tab, line feed and carriage return become character references so that no
// reader folds them into blanks.
std::string EscapeAttribute(const std::string& text);

// Values stand between tags. The four markup characters become named entities and a
// carriage return a character reference (a reader that normalises line ends would turn a raw
// one into a line feed). A value made only of white space is wrapped in CDATA: the parser
// drops a text node that is blank, entity-encoded or not, but keeps a CDATA section.
std::string EscapeValue(const std::string& value);

// Each opening tag is formatted into a 256-byte line buffer, so the tag itself (without its
// indentation) holds at most 255 bytes. The limits apply to the escaped text. A code is held
// to the longer "<Payload ...>" tag whatever its role, so that whether it fits never depends
// on which file it is saved into.
constexpr size_t kTagLineLimit = 255;
bool CodeFitsTag(const std::string& code);
bool KeyFitsTag(const std::string& key);

// The saved file's text for the element of `payload`: the declaration, "<Configuration>",
// one section per code in byte order (the code equal to `payload` as "Payload", every other
// as "Other"), entries in byte order, CR LF line ends, a tab per level and no line end after
// "</Configuration>". The text is empty when no section holds any entry (the file is then
// deleted). Answers false, with `text` untouched, when a code or key is too long for its tag
// line, so that nothing is ever half-written.
bool BuildConfigurationText(const std::string& payload, const Sections& element,
                            std::string* text);

}  // namespace pcf

#endif  // QEM_PCF_CONFIGURATION_TEXT_H_
