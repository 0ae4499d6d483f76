#include "util/xml_nesting.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Repeat(const std::string& part, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

struct NestingCase {
  const char* name;
  std::string text;
  XmlScanEncoding encoding;
  bool tooDeep;  // with a limit of 3 levels
};

// Every case with a limit of 3: the deep ones nest 4 levels or more as the parser reads them,
// the others never pass 3.
TEST(XmlNestingTest, CountsLevelsAsTheParserReadsThem) {
  const XmlScanEncoding unknown = XmlScanEncoding::kUnknown;
  const XmlScanEncoding utf8 = XmlScanEncoding::kUtf8;
  const NestingCase cases[] = {
      {"three levels", "<a><b><c/></b></a>", unknown, false},
      {"four levels", "<a><b><c><d/></c></b></a>", unknown, true},
      {"many siblings", "<a>" + Repeat("<b><c>x</c></b><d/>", 50) + "</a>", unknown, false},
      {"unclosed openings", Repeat("<a>", 4), unknown, true},
      {"tag-like text in quotes", "<a x='<b><c><d>'>" + Repeat("<b/>", 5) + "</a>", unknown,
       false},
      {"comments and cdata", "<a><!--<b><c><d>--><![CDATA[<b><c><d>]]></a>", unknown, false},
      // End tags the parser never sees must not close anything.
      {"end tags at the top", Repeat("</x>", 10) + Repeat("<a>", 4), unknown, true},
      {"end tag in a comment that only looks closed", Repeat("<a><!--></a>-->", 4), unknown,
       true},
      {"end tag in a declaration's quoted version",
       Repeat("<a><?xml version='</a>'?>", 4), unknown, true},
      {"end tag inside a character reference", Repeat("<a>&#x</a>x1;", 4), unknown, true},
      {"end tag inside a decimal reference", Repeat("<a>&#</a>#1;", 4), unknown, true},
      {"end tag inside a multi-byte character", Repeat("<a>\xF0</a>", 4), utf8, true},
      {"multi-byte after a UTF-8 declaration",
       "<?xml version='1.0'?>" + Repeat("<a>\xE0</a>", 4), unknown, true},
      {"multi-byte after a byte-order mark", "\xEF\xBB\xBF" + Repeat("<a>\xC3</a>", 4), unknown,
       true},
      {"single bytes in a legacy encoding",
       "<?xml version='1.0' encoding='ISO-8859-1'?>" + Repeat("<a>\xF0</a>", 4), unknown,
       false},
      // A mismatched end tag stops the parser: nothing after it counts.
      {"mismatched end tag", "<a><b></c><c><d><e><f>", unknown, false},
  };
  for (const NestingCase& c : cases) {
    EXPECT_EQ(c.tooDeep, XmlNestsDeeperThan(c.text, 3, c.encoding)) << c.name;
  }
}

TEST(XmlNestingTest, StopsAtTheFirstZeroByte) {
  const std::string text = std::string("<a/>") + '\0' + Repeat("<a>", 10);
  EXPECT_FALSE(XmlNestsDeeperThan(text, 3, XmlScanEncoding::kUnknown));
  const std::string input = XmlParserInput(text);
  EXPECT_EQ(std::string("<a/>\0\0\0\0", 8), input);
}

}  // namespace
