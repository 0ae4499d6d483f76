#include "cache/document/document.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cache/document/report.h"
#include "cache/document/test_support.h"

namespace {

using slcache_test::DocText;
using slcache_test::FixedTime;
using slcache_test::Printed;
using slcache_test::Report;
using slcache_test::ReportCatcher;

constexpr int64_t kNow = 1700000000;

// A loaded document named "A": sub-domains A {a1, a2} and B {b1} after the meta node.
const std::string kStored = DocText(
    "<node id=\"A\"><key id=\"a1\">1</key><key id=\"a2\">2</key></node>"
    "<node id=\"B\"><key id=\"b1\">3</key></node>");

std::string ValueOf(SLCacheDoc& doc, const char* subDomain, const char* key) {
  const char* value = nullptr;
  SLCacheStatus result = doc.getValueForKey(subDomain, key, &value);
  if (result != kSLCacheOk) return "<" + std::to_string(result) + ">";
  return value;
}

// ---------------------------------------------------------------------------------------------
// Reports.

TEST(SLCacheReportTest, WithoutHookReturnsZero) {
  SLCacheReportHook = nullptr;
  EXPECT_EQ(0, SLCacheReport(2, "ERROR:%s", "dropped"));
}

TEST(SLCacheReportTest, HookGetsLevelTextAndGivesResult) {
  static int seenLevel;
  static std::string seenText;
  SLCacheReportHook = [](int level, const char* text) {
    seenLevel = level;
    seenText = text;
    return 42;
  };
  EXPECT_EQ(42, SLCacheReport(3, "Warn:%d-[%s].", 7, "x"));
  SLCacheReportHook = nullptr;
  EXPECT_EQ(3, seenLevel);
  EXPECT_EQ("Warn:7-[x].", seenText);
}

TEST(SLCacheReportTest, LongMessageIsCutTo1023Characters) {
  ReportCatcher catcher;
  std::string longText(3000, 'x');
  longText[1022] = 'y';
  longText[1023] = 'z';
  SLCacheReport(4, "%s", longText.c_str());
  ASSERT_EQ(1u, catcher.caught.size());
  EXPECT_EQ(1023u, catcher.caught[0].text.size());
  EXPECT_EQ('y', catcher.caught[0].text.back());
}

// ---------------------------------------------------------------------------------------------
// Creation, parsing, version and time stamp.

TEST(SLCacheDocTest, TemplateIs126Characters) {
  EXPECT_EQ(126u, std::strlen(kSLCacheEmptyTemplate));
}

TEST(SLCacheDocTest, NewDocumentIsTheTemplateWithTheCurrentTime) {
  FixedTime now(kNow);
  SLCacheDoc doc(kSLCacheDocNew);
  ASSERT_EQ(kSLCacheOk, doc.initNewDocument("N", "Tg==.slc"));
  std::string expected = kSLCacheEmptyTemplate;
  std::string stampKey = "<key id=\"TimeStamp\">1</key>";
  expected.replace(expected.find(stampKey), stampKey.size(),
                   "<key id=\"TimeStamp\">1700000000</key>");
  EXPECT_EQ(expected, Printed(doc));
  EXPECT_EQ(kSLCacheDocAdded, doc.status);
  EXPECT_EQ("N", doc.name);
  EXPECT_EQ("Tg==.slc", doc.fileName);
  ASSERT_TRUE(doc.subDomains.at(kSLCacheMetaId));
  SLCacheSubDomain& meta = *doc.subDomains.at(kSLCacheMetaId);
  EXPECT_EQ(kSLCacheDocUpdated, meta.status);
  EXPECT_EQ(kSLCacheDocUpdated, meta.children.at(kSLCacheTimeStampKey)->status);
  EXPECT_EQ(nullptr, doc.lockedFile.file);
  EXPECT_EQ(0xFFFFFFFFu, doc.lockedFile.lockedLength);
}

TEST(SLCacheDocTest, NewDocumentWithTheRealClockHoldsTheTimeNow) {
  SLCacheDoc doc(kSLCacheDocNew);
  int64_t before = SLCacheCurrentTime();
  ASSERT_EQ(kSLCacheOk, doc.initNewDocument("N", "f"));
  int64_t stamp = 0;
  ASSERT_EQ(kSLCacheOk, doc.getTimeStamp(&stamp));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, SLCacheCurrentTime());
  EXPECT_GT(stamp, 1600000000);  // seconds since 1970, not a local broken-down time
}

TEST(SLCacheDocTest, LoadedDocumentIsUnchangedAndPrintsAsStored) {
  SLCacheDoc doc(kSLCacheDocNew);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "QQ==.slc"));
  EXPECT_EQ(kSLCacheDocUnchanged, doc.status);
  EXPECT_EQ(100, doc.timeStamp);
  EXPECT_EQ(kStored, Printed(doc));
  EXPECT_EQ("3", ValueOf(doc, "B", "b1"));
  EXPECT_EQ("2", ValueOf(doc, "A", "a2"));
  EXPECT_EQ(kSLCacheDocUnchanged, doc.status);  // reading changes no status
}

TEST(SLCacheDocTest, VersionOneIsUpgraded) {
  FixedTime now(kNow);
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  std::string v1 =
      "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">1</key>"
      "<key id=\"TimeStamp\">5</key></node><node id=\"A\"><key id=\"a\">x</key></node></SLCInfo>";
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(v1, "A", "f"));
  EXPECT_EQ(kSLCacheDocUpdated, doc.status);
  EXPECT_EQ(kNow, doc.timeStamp);
  EXPECT_EQ(
      "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key>"
      "<key id=\"TimeStamp\">1700000000</key><key id=\"IsValid\">1</key></node>"
      "<node id=\"A\"><key id=\"a\">x</key></node></SLCInfo>",
      Printed(doc));
  EXPECT_TRUE(catcher.caught.empty());
}

TEST(SLCacheDocTest, VersionOneTextsWithBlanksAndSignAreUpgraded) {
  for (const char* version : {" 1", "+1", "1abc"}) {
    SCOPED_TRACE(version);
    SLCacheDoc doc(kSLCacheDocUnchanged);
    std::string text = "<SLCInfo>" + slcache_test::Meta("9", version) + "</SLCInfo>";
    ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(text, "A", "f"));
    EXPECT_EQ("2", ValueOf(doc, kSLCacheMetaId, kSLCacheVersionKey));
    EXPECT_EQ(kSLCacheDocUpdated, doc.status);
  }
}

TEST(SLCacheDocTest, OtherVersionsPassUnchanged) {
  for (const char* version : {"7", "abc", "0", "3", "-1"}) {
    SCOPED_TRACE(version);
    std::string text = "<SLCInfo>" + slcache_test::Meta("12", version) + "</SLCInfo>";
    SLCacheDoc doc(kSLCacheDocUnchanged);
    ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(text, "A", "f"));
    EXPECT_EQ(kSLCacheDocUnchanged, doc.status);
    EXPECT_EQ(12, doc.timeStamp);
    EXPECT_EQ(text, Printed(doc));
  }
}

TEST(SLCacheDocTest, BadTimeStampsGive1029) {
  struct Case {
    const char* stampKey;
    const char* report;
  } cases[] = {
      {"<key id=\"TimeStamp\">-5</key>", "ERROR:Got invalid chars for the Time."},
      {"<key id=\"TimeStamp\">12a</key>", "ERROR:Got invalid chars for the Time."},
      {"<key id=\"TimeStamp\"> 12</key>", "ERROR:Got invalid chars for the Time."},
      {"<key id=\"TimeStamp\"></key>", "ERROR:Got NULL/empty chars for the Time."},
      {"<key id=\"TimeStamp\" />", "ERROR:Got NULL/empty chars for the Time."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stampKey);
    ReportCatcher catcher;
    std::string text =
        std::string("<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key>") +
        c.stampKey + "</node></SLCInfo>";
    SLCacheDoc doc(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheBadTimeStamp, doc.initWithXMLString(text, "A", "f"));
    EXPECT_EQ((std::vector<Report>{{2, c.report},
                                   {4, "Failed to get the slc document <A> Time stamp."}}),
              catcher.caught);
  }
}

TEST(SLCacheDocTest, LargeTimeStampIsRead) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(DocText("", "9223372036854775807"), "A", "f"));
  EXPECT_EQ(INT64_MAX, doc.timeStamp);
}

TEST(SLCacheDocTest, TextWithoutMetaNodeOrVersionGives519) {
  const std::string texts[] = {
      "<SLCInfo><node id=\"A\"><key id=\"a\">x</key></node></SLCInfo>",
      "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"TimeStamp\">1</key></node></SLCInfo>",
      "<SLCInfo />",
      "<!-- no element at all -->",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ReportCatcher catcher;
    SLCacheDoc doc(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheNotFound, doc.initWithXMLString(text, "A", "f"));
    EXPECT_EQ((std::vector<Report>{
                  {4, "Failed to get the version number of the slc document."},
                  {4, "Failed to upgrade the slc document <A> to the latest verstion."}}),
              catcher.caught);
  }
}

TEST(SLCacheDocTest, ParseFailuresGive1030) {
  const std::string texts[] = {
      "<SLCInfo>", "<SLCInfo></Other>", "   ", "plain text", "<SLCInfo><node id=\"A></SLCInfo>",
      "<SLCInfo><key id=\"a\">&#xZZ;</key></SLCInfo>",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ReportCatcher catcher;
    SLCacheDoc doc(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheParseFailed, doc.initWithXMLString(text, "A", "f"));
    ASSERT_EQ(1u, catcher.caught.size());
    EXPECT_EQ(2, catcher.caught[0].level);
    EXPECT_EQ(0u, catcher.caught[0].text.find(
                      "ERROR:Failed to parse the slc document data. Error Description:[A]-["));
  }
}

// The parser recurses per level: nesting that would exhaust the stack is refused unparsed,
// including end tags hidden from the parser inside references, comments and characters.
TEST(SLCacheDocTest, DeepNestingIsAParseFailure) {
  auto repeat = [](const std::string& part, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += part;
    return text;
  };
  const std::string meta = std::string(kSLCacheEmptyTemplate).substr(9, 107);
  const std::string texts[] = {
      "<SLCInfo>" + repeat("<node>", 200000),
      "<SLCInfo>" + repeat("<n>&#x</n>x1;", 200000),
      "<SLCInfo>" + repeat("<n><!--></n>-->", 200000),
      "<?xml version=\"1.0\"?><SLCInfo>" + repeat("<n>\xF0</n>", 200000),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));
    SLCacheDoc doc(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheParseFailed, doc.initWithXMLString(text, "A", "f"));
  }
  // Deep values within the limit still load.
  const std::string nested = "<SLCInfo><node id=\"A\"><key id=\"k\">" + repeat("<v>", 250) +
                             repeat("</v>", 250) + "</key></node>" + meta + "</SLCInfo>";
  SLCacheDoc doc(kSLCacheDocUnchanged);
  EXPECT_EQ(kSLCacheOk, doc.initWithXMLString(nested, "A", "f"));
}

TEST(SLCacheDocTest, InitialisationArguments) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  EXPECT_EQ(kSLCacheBadInitArgument, doc.initWithXMLString(kStored, nullptr, "f"));
  EXPECT_EQ(kSLCacheBadInitArgument, doc.initNewDocument("A", nullptr));
  EXPECT_EQ(kSLCacheBadInitArgument, doc.initWithXMLString("", "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  EXPECT_EQ(kSLCacheAlreadyInitialized, doc.initWithXMLString(kStored, "A", "f"));
  EXPECT_EQ(kSLCacheAlreadyInitialized, doc.initNewDocument("A", "f"));
  EXPECT_EQ((std::vector<Report>{
                {3, "Warn:Invalid argument NULL Argument to SLCacheDoc."},
                {3, "Warn:Invalid argument NULL Argument to SLCacheDoc."},
                {3, "Warn:Can't initialize SLCache empty xml string-[A]."},
                {3, "Warn:Document is already initialized - [A]."},
                {3, "Warn:Document is already initialized-[A]."}}),
            catcher.caught);
}

TEST(SLCacheDocTest, FailedAllocationOfTheTreeGives7) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  slcache::testing::FailAllocation(1);
  EXPECT_EQ(kSLCacheOutOfMemory, doc.initWithXMLString(kStored, "A", "f"));
  EXPECT_TRUE(catcher.Saw(3, "Warn:Failed to allocate memeory for new cahce document-[A]."));
}

TEST(SLCacheDocTest, TimeStampRoundTrip) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.setTimeStamp(INT64_C(1234567890123)));
  int64_t stamp = 0;
  ASSERT_EQ(kSLCacheOk, doc.getTimeStamp(&stamp));
  EXPECT_EQ(INT64_C(1234567890123), stamp);
  EXPECT_EQ(kSLCacheDocUpdated, doc.status);
  // A negative time prints with its sign, which the reader then refuses.
  ASSERT_EQ(kSLCacheOk, doc.setTimeStamp(-5));
  EXPECT_EQ(kSLCacheBadTimeStamp, doc.getTimeStamp(&stamp));
  EXPECT_EQ(0, stamp);
}

// ---------------------------------------------------------------------------------------------
// Lookup by id.

TEST(SLCacheDocTest, LookupIgnoresTagsSkipsElementsWithoutIdAndTakesTheFirst) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            doc.initWithXMLString(DocText("text<other>skip</other>"
                                          "<item id=\"A\"><entry id=\"k\">first</entry></item>"
                                          "<node id=\"A\"><key id=\"k\">second</key></node>"),
                                  "A", "f"));
  EXPECT_EQ("first", ValueOf(doc, "A", "k"));
  TiXmlElement* found = findElementById(doc.rootElement, "A");
  ASSERT_NE(nullptr, found);
  EXPECT_STREQ("item", found->Value());
  EXPECT_EQ(nullptr, findElementById(doc.rootElement, "a"));  // case matters
  EXPECT_EQ(nullptr, findElementById(nullptr, "A"));
  EXPECT_FALSE(removeElementById(nullptr, "A"));
  EXPECT_FALSE(removeElementById(doc.rootElement, "missing"));
}

TEST(SLCacheDocTest, RemoveElementByIdRemovesOnlyTheFirstMatch) {
  TiXmlBase::SetCondenseWhiteSpace(false);
  TiXmlDocument xml;
  xml.Parse("<r><a id=\"x\"><deep /></a><b id=\"x\" /><c id=\"y\" /></r>");
  ASSERT_FALSE(xml.Error());
  EXPECT_TRUE(removeElementById(xml.RootElement(), "x"));
  std::string text;
  SLCachePrintCompact(&xml, &text);
  EXPECT_EQ("<r><b id=\"x\" /><c id=\"y\" /></r>", text);
}

TEST(SLCacheDocTest, SubDomainIds) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            doc.initWithXMLString(DocText("<node id=\"B\" /><x>no id</x><node id=\"A\" />"
                                          "<node id=\"B\" />"),
                                  "A", "f"));
  std::set<std::string> ids = {"pre"};
  ASSERT_EQ(kSLCacheOk, getSubDomainIds(doc.rootElement, &ids));
  EXPECT_EQ((std::set<std::string>{"A", "B", "__SLCMeta__", "pre"}), ids);
  EXPECT_EQ(kSLCacheNullArgument, getSubDomainIds(nullptr, &ids));
  EXPECT_TRUE(catcher.Saw(4, "Invalid argument docRootElement null."));
}

// ---------------------------------------------------------------------------------------------
// Keys.

TEST(SLCacheDocTest, WriteArgumentsAreChecked) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  EXPECT_EQ(kSLCacheNullArgument, doc.setValueForKey(nullptr, "k", "v"));
  EXPECT_EQ(kSLCacheNullArgument, doc.setValueForKey("A", "k", nullptr));
  EXPECT_EQ(kSLCacheBadArgument, doc.setValueForKey("", "k", "v"));
  EXPECT_EQ(kSLCacheBadArgument, doc.setValueForKey("A", "", "v"));
  EXPECT_EQ(kSLCacheBadArgument, doc.setValueForKey("A", "a1", ""));
  EXPECT_EQ((std::vector<Report>{{3, "Warn:Invalid argument subdomain or key or value is null."},
                                 {3, "Warn:Invalid argument subdomain or key or value is null."},
                                 {3, "Warn:Invalid argument subdomain or key is empty."},
                                 {3, "Warn:Invalid argument subdomain or key is empty."},
                                 {3, "Warn:Invalid argument value is empty."}}),
            catcher.caught);
  EXPECT_EQ(kStored, Printed(doc));
  EXPECT_EQ(kSLCacheDocUnchanged, doc.status);
}

TEST(SLCacheDocTest, WritingTwiceReplacesTheText) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("C", "c", "one"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("C", "c", "two"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("A", "a1", "three"));
  EXPECT_EQ(DocText("<node id=\"A\"><key id=\"a1\">three</key><key id=\"a2\">2</key></node>"
                    "<node id=\"B\"><key id=\"b1\">3</key></node>"
                    "<node id=\"C\"><key id=\"c\">two</key></node>"),
            Printed(doc));
}

TEST(SLCacheDocTest, WriteIntoKeyWhoseFirstChildIsAnElementAppendsText) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            doc.initWithXMLString(DocText("<node id=\"A\"><key id=\"k\"><part />old</key></node>"),
                                  "A", "f"));
  EXPECT_EQ("", ValueOf(doc, "A", "k"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("A", "k", "new"));
  EXPECT_EQ(DocText("<node id=\"A\"><key id=\"k\"><part />oldnew</key></node>"), Printed(doc))
      << "the text after the element is a text node of its own: the first child is not text";
}

TEST(SLCacheDocTest, ReadArgumentsAndMissingKeys) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  const char* value = "untouched";
  EXPECT_EQ(kSLCacheNullArgument, doc.getValueForKey("A", "a1", nullptr));
  EXPECT_EQ(kSLCacheBadArgument, doc.getValueForKey("A", "", &value));
  EXPECT_EQ(kSLCacheNotFound, doc.getValueForKey("Z", "a1", &value));
  EXPECT_EQ(kSLCacheNotFound, doc.getValueForKey("A", "zz", &value));
  EXPECT_STREQ("untouched", value);
  EXPECT_EQ((std::vector<Report>{{3, "Warn:Invalid argument subdomain or key or value is null."},
                                 {3, "Warn:Invalid argument subdomain or key is empty."}}),
            catcher.caught);
}

TEST(SLCacheDocTest, KeysInSubDomain) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            doc.initWithXMLString(DocText("<node id=\"A\"><key id=\"z\">1</key>text"
                                          "<key id=\"m\">2</key></node><node id=\"E\" />"
                                          "<node id=\"N\"><key>no id</key></node>"),
                                  "A", "f"));
  char** keys = nullptr;
  ASSERT_EQ(kSLCacheOk, doc.getKeysInSubDomain("A", &keys));
  ASSERT_NE(nullptr, keys);
  EXPECT_STREQ("z", keys[0]);  // document order
  EXPECT_STREQ("m", keys[1]);
  EXPECT_EQ(nullptr, keys[2]);
  SLCacheFreeStringList(keys);

  ASSERT_EQ(kSLCacheOk, doc.getKeysInSubDomain("E", &keys));
  ASSERT_NE(nullptr, keys);
  EXPECT_EQ(nullptr, keys[0]);
  SLCacheFreeStringList(keys);

  keys = nullptr;
  EXPECT_EQ(kSLCacheOutOfMemory, doc.getKeysInSubDomain("N", &keys));
  EXPECT_EQ(nullptr, keys);
  EXPECT_TRUE(catcher.Saw(4, "Failed to allocate memory for a feature."));

  EXPECT_EQ(kSLCacheNotFound, doc.getKeysInSubDomain("missing", &keys));
  EXPECT_EQ(kSLCacheNullArgument, doc.getKeysInSubDomain(nullptr, &keys));
  EXPECT_EQ(kSLCacheBadArgument, doc.getKeysInSubDomain("", &keys));
  EXPECT_TRUE(catcher.Saw(3, "Warn:Invalid argument subdomain is empty."));

  slcache::testing::FailAllocation(1);
  EXPECT_EQ(kSLCacheOutOfMemory, doc.getKeysInSubDomain("A", &keys));
  EXPECT_TRUE(catcher.Saw(3, "Warn:Failed to allocate memory for stringRef list."));
  slcache::testing::FailAllocation(2);  // the first copy
  EXPECT_EQ(kSLCacheOutOfMemory, doc.getKeysInSubDomain("A", &keys));
  slcache::testing::FailAllocation(3);  // the second copy: the first is freed again
  EXPECT_EQ(kSLCacheOutOfMemory, doc.getKeysInSubDomain("A", &keys));
  EXPECT_EQ(nullptr, keys);

  ASSERT_EQ(kSLCacheOk, doc.removeSubDomain("A"));
  EXPECT_EQ(kSLCacheNotFound, doc.getKeysInSubDomain("A", &keys));
}

TEST(SLCacheDocTest, RemovalMessagesAndCodes) {
  ReportCatcher catcher;
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  EXPECT_EQ(kSLCacheNullArgument, doc.removeSubDomain(nullptr));
  EXPECT_EQ(kSLCacheBadArgument, doc.removeSubDomain(""));
  EXPECT_EQ(kSLCacheNotFound, doc.removeSubDomain("Z"));
  EXPECT_EQ(kSLCacheNullArgument, doc.removeKeyInSubDomain("A", nullptr));
  EXPECT_EQ(kSLCacheBadArgument, doc.removeKeyInSubDomain("", "a1"));
  EXPECT_EQ(kSLCacheNotFound, doc.removeKeyInSubDomain("Z", "a1"));
  EXPECT_EQ(kSLCacheNotFound, doc.removeKeyInSubDomain("A", "zz"));
  ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("B", "b1"));
  EXPECT_EQ((std::vector<Report>{{3, "Warn:Invalid argument subdomain or key or value is null."},
                                 {3, "Warn:Invalid argument subdomain is empty."},
                                 {3, "Warn:Invalid argument subdomain or key or value is null."},
                                 {3, "Warn:Invalid argument subdomain is empty."},
                                 {4, "NO SubDomain with id <Z> found."},
                                 {4, "NO key found with id <zz> in SubDomain <A>."},
                                 {4, "No Children found for the subDomain <B>, deleting it."}}),
            catcher.caught);
  EXPECT_EQ(kSLCacheDocUpdated, doc.status);
  EXPECT_EQ(DocText("<node id=\"A\"><key id=\"a1\">1</key><key id=\"a2\">2</key></node>"),
            Printed(doc));
  EXPECT_EQ((std::set<std::string>{"B"}), doc.removedSubDomains);
  EXPECT_EQ(0u, doc.subDomains.count("B"));
}

TEST(SLCacheDocTest, RemovingTheLastKeyOfTheOwnSubDomainMarksTheDocumentRemove) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("A", "a1"));
  EXPECT_EQ(kSLCacheDocUpdated, doc.status);
  EXPECT_EQ((std::set<std::string>{"a1"}), doc.subDomains.at("A")->removedKeys);
  ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("A", "a2"));
  EXPECT_EQ(kSLCacheDocRemove, doc.status);
  EXPECT_EQ(0u, doc.subDomains.count("A"));
  EXPECT_EQ((std::set<std::string>{"A"}), doc.removedSubDomains);
  EXPECT_EQ(kSLCacheNotFound, doc.removeSubDomain("A"));
  EXPECT_EQ("<519>", ValueOf(doc, "A", "a2"));
}

// ---------------------------------------------------------------------------------------------
// Status sequences.

enum class Op { kSet, kRemoveKey, kRemoveSubDomain, kGet };

constexpr int32_t kAbsent = -1;  // no record under the name

struct Step {
  Op op;
  const char* subDomain;
  const char* key;
  SLCacheStatus result;
  int32_t document;   // the document's status afterwards
  int32_t record;     // the sub-domain record's status afterwards
  int32_t keyRecord;  // the key record's status afterwards
};

struct Sequence {
  const char* name;
  int32_t initial;  // the document's status before the first step (the document is named "A")
  std::vector<Step> steps;
};

int32_t RecordStatus(const SLCacheDoc& doc, const char* subDomain) {
  auto found = doc.subDomains.find(subDomain);
  return found == doc.subDomains.end() || !found->second ? kAbsent : found->second->status;
}

int32_t KeyRecordStatus(const SLCacheDoc& doc, const char* subDomain, const char* key) {
  auto found = doc.subDomains.find(subDomain);
  if (found == doc.subDomains.end() || !found->second) return kAbsent;
  auto child = found->second->children.find(key);
  return child == found->second->children.end() || !child->second ? kAbsent
                                                                   : child->second->status;
}

constexpr int32_t U = kSLCacheDocUnchanged;
constexpr int32_t N = kSLCacheDocNew;
constexpr int32_t A = kSLCacheDocAdded;
constexpr int32_t P = kSLCacheDocUpdated;  // uPdated
constexpr int32_t R = kSLCacheDocRemove;
constexpr int32_t X = kAbsent;
constexpr SLCacheStatus kOk = kSLCacheOk;
constexpr SLCacheStatus k519 = kSLCacheNotFound;

const Sequence kSequences[] = {
    {"write existing key, Unchanged", U,
     {{Op::kGet, "A", "a1", kOk, U, U, U},
      {Op::kSet, "A", "a1", kOk, P, P, P},
      {Op::kSet, "A", "a1", kOk, P, P, P}}},
    {"write new key and new sub-domain, Unchanged", U,
     {{Op::kSet, "A", "a3", kOk, P, P, A},
      {Op::kSet, "C", "c1", kOk, P, A, A},
      {Op::kSet, "C", "c1", kOk, P, A, A},
      {Op::kSet, "C", "c2", kOk, P, A, A}}},
    {"write, New", N, {{Op::kSet, "A", "a1", kOk, A, P, P}}},
    {"write, Added", A, {{Op::kSet, "B", "b9", kOk, A, P, A}}},
    {"write, Updated", P, {{Op::kSet, "A", "a1", kOk, P, P, P}}},
    {"write, Remove", R, {{Op::kSet, "A", "a1", kOk, A, P, P}}},
    {"write, status out of scale", 9, {{Op::kSet, "A", "a1", kOk, P, P, P}}},
    {"key removed, Unchanged", U, {{Op::kRemoveKey, "A", "a1", kOk, P, P, X}}},
    {"key removed, New", N, {{Op::kRemoveKey, "A", "a1", kOk, N, P, X}}},
    {"key removed, Added", A, {{Op::kRemoveKey, "A", "a1", kOk, A, P, X}}},
    {"key removed, Updated", P, {{Op::kRemoveKey, "A", "a1", kOk, P, P, X}}},
    {"key removed, Remove", R, {{Op::kRemoveKey, "A", "a1", kOk, R, P, X}}},
    {"key removed, status out of scale", -3, {{Op::kRemoveKey, "A", "a1", kOk, P, P, X}}},
    {"last keys removed", U,
     {{Op::kRemoveKey, "B", "b1", kOk, P, X, X},
      {Op::kRemoveKey, "A", "a1", kOk, P, P, X},
      {Op::kRemoveKey, "A", "a2", kOk, R, X, X},
      {Op::kRemoveKey, "A", "a2", k519, R, X, X},
      {Op::kGet, "A", "a1", k519, R, X, X}}},
    {"last key of another sub-domain removed, Added", A,
     {{Op::kRemoveKey, "B", "b1", kOk, P, X, X}}},
    {"sub-domain removed, from every status", N,
     {{Op::kRemoveSubDomain, "B", nullptr, kOk, P, X, X},
      {Op::kRemoveSubDomain, "B", nullptr, k519, P, X, X},
      {Op::kRemoveSubDomain, "A", nullptr, kOk, R, X, X},
      {Op::kRemoveSubDomain, "A", nullptr, k519, R, X, X}}},
    {"own sub-domain removed from Added", A, {{Op::kRemoveSubDomain, "A", nullptr, kOk, R, X, X}}},
    {"removed, then written again", U,
     {{Op::kRemoveSubDomain, "A", nullptr, kOk, R, X, X},
      {Op::kGet, "A", "a1", k519, R, X, X},
      {Op::kSet, "A", "a9", kOk, A, A, A},
      {Op::kGet, "A", "a1", k519, A, A, X},
      {Op::kSet, "A", "a1", kOk, A, A, A},
      {Op::kRemoveKey, "A", "a9", kOk, A, P, X},
      {Op::kRemoveKey, "A", "a1", kOk, R, X, X},
      {Op::kSet, "A", "a1", kOk, A, A, A}}},
    {"key removed, then written again", U,
     {{Op::kRemoveKey, "A", "a1", kOk, P, P, X},
      {Op::kGet, "A", "a1", k519, P, P, X},
      {Op::kSet, "A", "a1", kOk, P, P, A}}},
};

TEST(SLCacheDocStatusTest, Sequences) {
  for (const Sequence& sequence : kSequences) {
    SCOPED_TRACE(sequence.name);
    SLCacheDoc doc(kSLCacheDocUnchanged);
    ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
    doc.status = sequence.initial;
    int number = 0;
    for (const Step& step : sequence.steps) {
      SCOPED_TRACE("step " + std::to_string(++number));
      SLCacheStatus result = kSLCacheOk;
      const char* value = nullptr;
      switch (step.op) {
        case Op::kSet:
          result = doc.setValueForKey(step.subDomain, step.key, "v");
          break;
        case Op::kRemoveKey:
          result = doc.removeKeyInSubDomain(step.subDomain, step.key);
          break;
        case Op::kRemoveSubDomain:
          result = doc.removeSubDomain(step.subDomain);
          break;
        case Op::kGet:
          result = doc.getValueForKey(step.subDomain, step.key, &value);
          break;
      }
      EXPECT_EQ(step.result, result);
      EXPECT_EQ(step.document, doc.status);
      EXPECT_EQ(step.record, RecordStatus(doc, step.subDomain));
      if (step.key) {
        EXPECT_EQ(step.keyRecord, KeyRecordStatus(doc, step.subDomain, step.key));
      }
    }
  }
}

TEST(SLCacheDocStatusTest, WrittenRecordsAreAttachedAndRemovedElementsGone) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.removeSubDomain("A"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("A", "a9", "new"));
  ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("B", "b1"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("B", "b1", "again"));
  EXPECT_EQ(DocText("<node id=\"A\"><key id=\"a9\">new</key></node>"
                    "<node id=\"B\"><key id=\"b1\">again</key></node>"),
            Printed(doc));
  EXPECT_EQ(doc.subDomains.at("A")->element, findElementById(doc.rootElement, "A"));
  EXPECT_EQ((std::set<std::string>{"A", "B"}), doc.removedSubDomains);
}

// ---------------------------------------------------------------------------------------------
// A failed write leaves the document as it was.

TEST(SLCacheDocTest, FailedWritesLeaveTheDocumentAsItWas) {
  struct Case {
    const char* subDomain;
    const char* key;
    std::vector<std::vector<Report>> reportsByFailure;  // for the 1st, 2nd, ... allocation
  } cases[] = {
      {"C", "c1",
       {{{4, "Failed to Allocate Memory for new Subdomain."},
         {4, "Failed to create new SubDomain record"},
         {4, "Failed to get New Sub Domain."}},
        {{4, "Failed to Allocate Memory For cache subDomain record "},
         {4, "Failed to get New Sub Domain."}},
        {{4, "Failed to Allocate Memory for new Subdomain."},
         {4, "Failed to create new SubDomain Child record"},
         {4, "Failed to create Sub Domain Element."}},
        {{4, "Failed to Allocate Memory For cache subDomain record "},
         {4, "Failed to create Sub Domain Element."}},
        {{3, "Warn:Failed to create TiXmlText."}}}},
      {"A", "a3",
       {{{4, "Failed to Allocate Memory for new Subdomain."},
         {4, "Failed to create new SubDomain Child record"},
         {4, "Failed to create Sub Domain Element."}},
        {{4, "Failed to Allocate Memory For cache subDomain record "},
         {4, "Failed to create Sub Domain Element."}},
        {{3, "Warn:Failed to create TiXmlText."}}}},
      // Lookups that make the first records of an existing sub-domain and key.
      {"B", "b1",
       {{{4, "Failed to get Sub Domain Element."}}, {{4, "Failed to get Sub Domain child."}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subDomain);
    SLCacheDoc doc(kSLCacheDocUnchanged);
    ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
    doc.setValueForKey("A", "a1", "touched");  // records for A and a1 exist from here on
    std::string before = Printed(doc);
    int32_t statusBefore = doc.status;
    size_t failures = c.reportsByFailure.size();
    for (size_t nth = 1; nth <= failures + 1; ++nth) {
      SCOPED_TRACE("allocation " + std::to_string(nth));
      SLCacheDoc copy(kSLCacheDocUnchanged);
      ASSERT_EQ(kSLCacheOk, copy.initWithXMLString(kStored, "A", "f"));
      copy.setValueForKey("A", "a1", "touched");
      ReportCatcher catcher;
      slcache::testing::FailAllocation(static_cast<int>(nth));
      SLCacheStatus result = copy.setValueForKey(c.subDomain, c.key, "value");
      slcache::testing::FailAllocation(0);
      if (nth > failures) {
        EXPECT_EQ(kSLCacheOk, result);
        EXPECT_EQ("value", ValueOf(copy, c.subDomain, c.key));
        continue;
      }
      EXPECT_NE(kSLCacheOk, result);
      EXPECT_EQ(c.reportsByFailure[nth - 1], catcher.caught);
      EXPECT_EQ(before, Printed(copy));
      EXPECT_EQ(statusBefore, copy.status);
      if (std::string(c.subDomain) == "C") {
        EXPECT_EQ(kAbsent, RecordStatus(copy, "C"));
      }
      EXPECT_EQ(kAbsent, KeyRecordStatus(copy, c.subDomain, c.key));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Values read back exactly as written.

TEST(SLCacheDocTest, AwkwardValuesAndNamesReadBackExactly) {
  const std::string values[] = {
      "a  b", " x", "x ", " ", "   ", "\t", "\n", "\r", "\r\n", " \r\n\t ", "\v\f", "a\r\nb",
      "\n x \n", "<&>\"'", "&amp;", "&#x41;", "&#65;", "&#xZZ;", "&", "]]>", " ]]> ",
      "<![CDATA[x]]>", "\x01\x1f", "\x7f", "\xc3\xa9 \xe6\x97\xa5", "\xff\xfe", "x\v\fy",
      "</SLCInfo>", "<node id=\"__slcps__\">", "'\"", "-->", "<!--",
  };
  FixedTime now(kNow);
  for (const std::string& value : values) {
    SCOPED_TRACE(::testing::PrintToString(value));
    SLCacheDoc doc(kSLCacheDocNew);
    ASSERT_EQ(kSLCacheOk, doc.initNewDocument("S", "f"));
    ASSERT_EQ(kSLCacheOk, doc.setValueForKey("S", "k", value.c_str()));
    ASSERT_EQ(kSLCacheOk, doc.setValueForKey(value.c_str(), value.c_str(), "as names"));
    ASSERT_EQ(value, ValueOf(doc, "S", "k"));
    std::string text = Printed(doc);

    SLCacheDoc reread(kSLCacheDocUnchanged);
    ASSERT_EQ(kSLCacheOk, reread.initWithXMLString(text, "S", "f")) << text;
    EXPECT_EQ(value, ValueOf(reread, "S", "k")) << text;
    EXPECT_EQ("as names", ValueOf(reread, value.c_str(), value.c_str())) << text;
    EXPECT_EQ(text, Printed(reread));
  }
}

TEST(SLCacheDocTest, BlankValueBecomesPlainTextAgainWhenOverwritten) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, doc.initWithXMLString(kStored, "A", "f"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("A", "a1", "  "));
  EXPECT_NE(std::string::npos, Printed(doc).find("<key id=\"a1\"><![CDATA[  ]]></key>"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("A", "a1", " ]]> "));
  EXPECT_NE(std::string::npos, Printed(doc).find("<key id=\"a1\"> ]]&gt; </key>"));
}

TEST(SLCacheDocTest, StoredTextWithLayoutKeepsValuesAndDropsBlankLines) {
  SLCacheDoc doc(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            doc.initWithXMLString("<SLCInfo>\n  <node id=\"__SLCMeta__\">\n"
                                  "    <key id=\"VERSION\">2</key>\n"
                                  "    <key id=\"TimeStamp\">7</key>\n  </node>\n"
                                  "  <node id=\"A\"><key id=\"a\">  two  spaces </key></node>\n"
                                  "</SLCInfo>\n",
                                  "A", "f"));
  EXPECT_EQ("  two  spaces ", ValueOf(doc, "A", "a"));
  EXPECT_EQ(
      "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key><key id=\"TimeStamp\">7"
      "</key></node><node id=\"A\"><key id=\"a\">  two  spaces </key></node></SLCInfo>",
      Printed(doc));
}

TEST(SLCacheDocTest, PrintCompactArguments) {
  std::string text = "kept";
  EXPECT_EQ(kSLCacheNullArgument, SLCachePrintCompact(nullptr, &text));
  EXPECT_EQ("kept", text);
}

}  // namespace
