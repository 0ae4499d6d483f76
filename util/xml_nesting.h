// How deeply an XML text nests elements, found without recursion, before the text goes to the
// TinyXML parser. The parser reads elements recursively with no depth limit, so a deeply
// nested text exhausts the stack; a text found too deep is refused instead of being parsed.
//
// The scan reads the text the way that parser does (where a comment, a quoted value, a
// character reference or a multi-byte character ends, when an end tag closes its element,
// where the parser gives up), so that markup hidden from the parser neither counts nor closes
// anything. After the point where the parser would give up the scan goes on, which can only
// find more depth, never less.
#ifndef QEM_UTIL_XML_NESTING_H_
#define QEM_UTIL_XML_NESTING_H_

#include <string>

// How the parser is told to read the text: kUnknown lets a byte-order mark or a declaration at
// the top choose (TinyXML's default), kUtf8 reads UTF-8 from the start.
enum class XmlScanEncoding { kUnknown, kUtf8 };

// The deepest nesting the scans of the system accept; well beyond any document they write.
constexpr int kXmlMaxNesting = 256;

// Whether the parser, reading `text` up to its first zero byte, would nest elements deeper
// than `limit` levels.
bool XmlNestsDeeperThan(const std::string& text, int limit, XmlScanEncoding encoding);

// The text with zero bytes after it, ready for the parser: at a multi-byte lead byte near the
// end the parser steps over the terminator, and the padding keeps that step in the buffer.
std::string XmlParserInput(const std::string& text);

#endif  // QEM_UTIL_XML_NESTING_H_
