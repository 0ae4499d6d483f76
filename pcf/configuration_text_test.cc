#include "pcf/configuration_text.h"

#include <gtest/gtest.h>

#include <string>

#include "pcf/configuration_file.h"

namespace pcf {
namespace {

const char kCode[] = "{7E570000-0000-4000-8000-000000000001}";

TEST(Utf8Test, AcceptsWellFormedAndRefusesBrokenSequences) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  } const cases[] = {
      {"ascii", "plain text", true},
      {"two, three and four bytes", "\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80", true},
      {"highest code point", "\xF4\x8F\xBF\xBF", true},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lone continuation", "a\x80", false},
      {"sequence cut by the end", "ab\xE4\xB8", false},
      {"lead byte followed by ascii", "\xC3(", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.name;
  }
  EXPECT_FALSE(IsUsableText(nullptr));
  EXPECT_FALSE(IsUsableText(""));
  EXPECT_TRUE(IsUsableText("x"));
}

TEST(ConfigurationTextTest, WritesTheExactLayout) {
  Sections element;
  element[kCode]["b"] = "2";
  element[kCode]["B"] = "1";
  element["{0}"]["k"] = "v";
  element["{Z}"];  // a code left without entries keeps its (empty) section
  std::string text;
  ASSERT_TRUE(BuildConfigurationText(kCode, element, &text));
  EXPECT_EQ(text, std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
                              "<Configuration>\r\n"
                              "\t<Other kymraCode=\"{0}\">\r\n"
                              "\t\t<Data key=\"k\">v</Data>\r\n"
                              "\t</Other>\r\n"
                              "\t<Payload kymraCode=\"") +
                      kCode +
                      "\">\r\n"
                      "\t\t<Data key=\"B\">1</Data>\r\n"
                      "\t\t<Data key=\"b\">2</Data>\r\n"
                      "\t</Payload>\r\n"
                      "\t<Other kymraCode=\"{Z}\">\r\n"
                      "\t</Other>\r\n"
                      "</Configuration>");
}

TEST(ConfigurationTextTest, NoEntryAnywhereGivesNoText) {
  Sections element;
  element[kCode];
  element["{other}"];
  std::string text = "stale";
  ASSERT_TRUE(BuildConfigurationText(kCode, element, &text));
  EXPECT_EQ(text, "");
}

// A code that merely contains the payload's code must not become a second Payload section:
// the file would then be refused when read back.
TEST(ConfigurationTextTest, OnlyTheExactPayloadCodeIsThePayloadSection) {
  Sections element;
  element[kCode]["k"] = "v";
  element[std::string("x") + kCode + "x"]["k"] = "w";
  std::string text;
  ASSERT_TRUE(BuildConfigurationText(kCode, element, &text));
  ParsedFile parsed;
  ASSERT_EQ(ParseConfigurationText(text, &parsed), PCFSuccess);
  EXPECT_EQ(parsed.payloadCode, kCode);
  EXPECT_EQ(parsed.sections, element);
}

TEST(ConfigurationTextTest, RefusesTagLinesLongerThan255Bytes) {
  // "<Data key=\"\">" is 13 bytes and "<Payload kymraCode=\"\">" 22; escapes count as written.
  struct Case {
    const char* name;
    std::string code;
    std::string key;
    bool fits;
  } const cases[] = {
      {"longest key", kCode, std::string(242, 'k'), true},
      {"key one byte over", kCode, std::string(243, 'k'), false},
      {"key over once escaped", kCode, std::string(238, 'k') + "&", false},
      {"longest code", std::string(233, 'c'), "k", true},
      {"code one byte over", std::string(234, 'c'), "k", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KeyFitsTag(c.key) && CodeFitsTag(c.code), c.fits) << c.name;
    Sections element;
    element[c.code][c.key] = "v";
    std::string text = "untouched";
    EXPECT_EQ(BuildConfigurationText(c.code, element, &text), c.fits) << c.name;
    if (!c.fits) {
      EXPECT_EQ(text, "untouched") << c.name;
    }
  }
}

// Whatever a value, key or code holds, the written text reads back to the same texts.
TEST(ConfigurationTextTest, EveryTextReadsBackExactly) {
  const std::string texts[] = {
      "a\"b",        "<tag attr='1'>",  "&amp; stays &amp;", "]]> and <![CDATA[",
      " ",           "   ",             "\t",                "\r\n",
      " \t\r\n ",    " lead",           "trail ",            "line1\r\nline2\nline3\r",
      "&#x41;",      "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80",
      "a  b\t\tc",   "x",
  };
  for (const std::string& text : texts) {
    Sections element;
    element[kCode][text] = text;  // as key and value
    element[kCode]["plain"] = text;
    element[text]["k"] = text;    // as the code of an Other section
    std::string written;
    ASSERT_TRUE(BuildConfigurationText(kCode, element, &written)) << text;
    ParsedFile parsed;
    ASSERT_EQ(ParseConfigurationText(written, &parsed), PCFSuccess) << written;
    EXPECT_EQ(parsed.sections, element) << written;
  }
}

TEST(ConfigurationTextTest, RefusesNestingDeeperThanTheParserCanTakeSafely) {
  const std::string open = "<a>";
  std::string deep = "<Configuration><Payload kymraCode=\"c\">";
  for (int i = 0; i < 100000; ++i) deep += open;
  ParsedFile parsed;
  EXPECT_EQ(ParseConfigurationText(deep, &parsed), PCFMalformed);

  // End tags the parser never sees (inside a reference, a comment that only looks closed, a
  // declaration's quoted version, or at the top) close nothing.
  for (const char* level :
       {"<a>&#x</a>x1;", "<a><!--></a>-->", "<a><?xml version='</a>'?>"}) {
    std::string hidden = "<Configuration><Payload kymraCode=\"c\">";
    for (int i = 0; i < 100000; ++i) hidden += level;
    EXPECT_EQ(ParseConfigurationText(hidden, &parsed), PCFMalformed) << level;
  }
  std::string top;
  for (int i = 0; i < 100000; ++i) top += "</x>";
  top += deep;
  EXPECT_EQ(ParseConfigurationText(top, &parsed), PCFMalformed);

  // Self-closed and closed elements do not add up.
  std::string flat = "<Configuration><Payload kymraCode=\"c\">";
  for (int i = 0; i < 1000; ++i) flat += "<Data key=\"k>\"/><x a='/>'></x>";
  flat += "</Payload></Configuration>";
  EXPECT_EQ(ParseConfigurationText(flat, &parsed), PCFSuccess);
}

}  // namespace
}  // namespace pcf
