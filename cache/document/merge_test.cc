// The merge of an in-memory document into a stored text that another process changed meanwhile.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cache/document/document.h"
#include "cache/document/report.h"
#include "cache/document/test_support.h"

namespace {

using slcache_test::DocText;
using slcache_test::FixedTime;
using slcache_test::Meta;
using slcache_test::Printed;
using slcache_test::Report;
using slcache_test::ReportCatcher;

constexpr int64_t kMergeTime = 5000;

std::string Node(const std::string& id, const std::string& keys) {
  return "<node id=\"" + id + "\">" + keys + "</node>";
}

std::string Key(const std::string& id, const std::string& content) {
  return "<key id=\"" + id + "\">" + content + "</key>";
}

// The merged text as printed: the stored nodes after a meta node stamped with the merge time.
std::string Merged(const std::string& nodes) { return DocText(nodes, "5000"); }

// Everything the merge must leave alone in the in-memory document.
std::string Snapshot(const SLCacheDoc& doc) {
  std::ostringstream out;
  out << Printed(doc) << "|status " << doc.status << "|time " << doc.timeStamp << "|removed";
  for (const std::string& name : doc.removedSubDomains) out << " " << name;
  for (const auto& entry : doc.subDomains) {
    out << "|" << entry.first;
    if (!entry.second) continue;
    out << ":" << entry.second->status << "@" << entry.second->element << " removed";
    for (const std::string& key : entry.second->removedKeys) out << " " << key;
    for (const auto& child : entry.second->children) {
      out << " " << child.first;
      if (child.second) out << ":" << child.second->status << "@" << child.second->element;
    }
  }
  return out.str();
}

struct MergeCase {
  const char* name;
  std::string loaded;  // the stored text the in-memory document came from; "" = a new document
  std::function<void(SLCacheDoc&)> changes;  // made in memory
  std::string storedNow;                     // the stored text as another process left it
  std::string expected;                      // the merged document, printed
  std::vector<Report> reports;               // reported by the merge
};

void Set(SLCacheDoc& doc, const char* subDomain, const char* key, const char* value) {
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey(subDomain, key, value));
}

std::vector<MergeCase> Cases() {
  return {
      {"a key written and a key removed, while another process added a third",
       DocText(Node("A", Key("a1", "1") + Key("a2", "2"))),
       [](SLCacheDoc& doc) {
         Set(doc, "A", "a1", "new");
         ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("A", "a2"));
       },
       DocText(Node("A", Key("a1", "1") + Key("a2", "2") + Key("a3", "3"))),
       Merged(Node("A", Key("a1", "new") + Key("a3", "3"))),
       {}},
      {"the last key of a sub-domain removed: the stored node goes whatever it holds",
       DocText(Node("A", Key("a1", "1")) + Node("B", Key("b1", "1"))),
       [](SLCacheDoc& doc) { ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("B", "b1")); },
       DocText(Node("A", Key("a1", "1")) + Node("B", Key("b1", "1") + Key("b2", "other"))),
       Merged(Node("A", Key("a1", "1"))),
       {}},
      {"a sub-domain removed and written again is rebuilt from the later writes alone",
       DocText(Node("S", Key("k1", "1") + Key("k2", "2")) + Node("T", Key("t", "1"))),
       [](SLCacheDoc& doc) {
         ASSERT_EQ(kSLCacheOk, doc.removeSubDomain("S"));
         Set(doc, "S", "k3", "v3");
       },
       DocText(Node("S", Key("k1", "1") + Key("k2", "2") + Key("k4", "4")) +
               Node("T", Key("t", "1"))),
       Merged(Node("T", Key("t", "1")) + Node("S", Key("k3", "v3"))),
       {}},
      {"a sub-domain removed by another process while a key of it was changed",
       DocText(Node("X", Key("k", "1") + Key("j", "2")) + Node("Y", Key("y", "1"))),
       [](SLCacheDoc& doc) { Set(doc, "X", "k", "new"); },
       DocText(Node("Y", Key("y", "1"))),
       Merged(Node("Y", Key("y", "1")) + Node("X", Key("k", "new"))),
       {}},
      {"keys only read in memory keep what another process wrote",
       DocText(Node("A", Key("a1", "1") + Key("a2", "2")) + Node("C", Key("c1", "1"))),
       [](SLCacheDoc& doc) {
         const char* value = nullptr;
         ASSERT_EQ(kSLCacheOk, doc.getValueForKey("A", "a1", &value));
         Set(doc, "A", "a2", "mine");
         ASSERT_EQ(kSLCacheOk, doc.getValueForKey("C", "c1", &value));
       },
       DocText(Node("A", Key("a1", "theirs") + Key("a2", "2")) + Node("C", Key("c1", "theirs"))),
       Merged(Node("A", Key("a1", "theirs") + Key("a2", "mine")) + Node("C", Key("c1", "theirs"))),
       {}},
      {"a removed sub-domain goes with every copy a damaged stored text holds",
       DocText(Node("A", Key("a1", "1")) + Node("B", Key("b1", "1"))),
       [](SLCacheDoc& doc) { ASSERT_EQ(kSLCacheOk, doc.removeSubDomain("A")); },
       DocText(Node("A", Key("a1", "1")) + Node("B", Key("b1", "1")) + Node("A", Key("a1", "old"))),
       Merged(Node("B", Key("b1", "1"))),
       {}},
      {"a removed key goes with every copy a damaged stored text holds",
       DocText(Node("A", Key("a1", "1") + Key("a2", "2"))),
       [](SLCacheDoc& doc) { ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("A", "a1")); },
       DocText(Node("A", Key("a1", "1") + Key("a2", "2") + Key("a1", "old"))),
       Merged(Node("A", Key("a2", "2"))),
       {}},
      {"a new document merged into the empty template",
       "",
       [](SLCacheDoc& doc) { Set(doc, "N", "k", "v"); },
       kSLCacheEmptyTemplate,
       "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key><key id=\"IsValid\">1</key>"
       "<key id=\"TimeStamp\">5000</key></node>" +
           Node("N", Key("k", "v")) + "</SLCInfo>",
       {}},
      {"new keys are appended after the stored ones",
       DocText(Node("A", Key("a1", "1"))),
       [](SLCacheDoc& doc) { Set(doc, "A", "a0", "x"); },
       DocText(Node("A", Key("a1", "1") + Key("a2", "2"))),
       Merged(Node("A", Key("a1", "1") + Key("a2", "2") + Key("a0", "x"))),
       {}},
      {"new sub-domains are appended in name order, not in the order written",
       DocText(Node("A", Key("a", "1"))),
       [](SLCacheDoc& doc) {
         Set(doc, "Z", "z", "1");
         Set(doc, "M", "m", "2");
       },
       DocText(Node("A", Key("a", "1"))),
       Merged(Node("A", Key("a", "1")) + Node("M", Key("m", "2")) + Node("Z", Key("z", "1"))),
       {}},
      // The copies replace all the stored key holds; the value, taken from the first child
      // when that is text, then follows them as a text node of its own.
      {"element children of a key travel by deep copy",
       DocText(Node("A", Key("k", "old<part n=\"1\"><deep>x</deep></part>"))),
       [](SLCacheDoc& doc) { Set(doc, "A", "k", "v"); },
       DocText(Node("A", Key("k", "theirs<other />"))),
       Merged(Node("A", Key("k", "<part n=\"1\"><deep>x</deep></part>v"))),
       {}},
      {"a key whose first child is an element carries an empty value",
       DocText(Node("A", Key("k", "<part />"))),
       [](SLCacheDoc& doc) { Set(doc, "A", "k", "v"); },
       DocText(Node("A", Key("k", "theirs"))),
       Merged(Node("A", Key("k", "<part />"))),
       {}},
      {"a removed sub-domain that is already gone is reported",
       DocText(Node("A", Key("a", "1")) + Node("B", Key("b", "1"))),
       [](SLCacheDoc& doc) { ASSERT_EQ(kSLCacheOk, doc.removeSubDomain("B")); },
       DocText(Node("A", Key("a", "1"))),
       Merged(Node("A", Key("a", "1"))),
       {{4, "B: No subdomain found, assuming it is already deleted."}}},
      {"a removed key that is already gone is passed over",
       DocText(Node("A", Key("a1", "1") + Key("a2", "2"))),
       [](SLCacheDoc& doc) { ASSERT_EQ(kSLCacheOk, doc.removeKeyInSubDomain("A", "a2")); },
       DocText(Node("A", Key("a1", "1"))),
       Merged(Node("A", Key("a1", "1"))),
       {}},
      {"blank and escaped values survive the merge",
       DocText(Node("A", Key("a1", "1"))),
       [](SLCacheDoc& doc) {
         Set(doc, "A", "a1", "  ");
         Set(doc, "A", "a2", " <&> ");
       },
       DocText(Node("A", Key("a1", "1"))),
       Merged(Node("A", Key("a1", "<![CDATA[  ]]>") + Key("a2", " &lt;&amp;&gt; "))),
       {}},
      {"a version 1 text upgraded on both sides",
       "<SLCInfo>" + Meta("7", "1") + Node("A", Key("a", "1")) + "</SLCInfo>",
       [](SLCacheDoc&) {},
       "<SLCInfo>" + Meta("8", "1") + Node("A", Key("a", "1") + Key("b", "2")) + "</SLCInfo>",
       "<SLCInfo>" + Meta("5000") + Node("A", Key("a", "1") + Key("b", "2")) + "</SLCInfo>",
       {}},
  };
}

TEST(SLCacheMergeTest, Scenarios) {
  for (const MergeCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    SLCacheDoc cached(c.loaded.empty() ? kSLCacheDocNew : kSLCacheDocUnchanged);
    {
      FixedTime loadTime(300);
      if (c.loaded.empty()) {
        ASSERT_EQ(kSLCacheOk, cached.initNewDocument("A", "QQ==.slc"));
      } else {
        ASSERT_EQ(kSLCacheOk, cached.initWithXMLString(c.loaded, "A", "QQ==.slc"));
      }
      c.changes(cached);
    }
    std::string before = Snapshot(cached);

    FixedTime mergeTime(kMergeTime);
    ReportCatcher catcher;
    SLCacheDoc merged(kSLCacheDocUnchanged);
    ASSERT_EQ(kSLCacheOk,
              merged.initWithXMLStringAndMergeCachedDoc(c.storedNow, "A", "QQ==.slc", &cached));
    EXPECT_EQ(c.expected, Printed(merged));
    EXPECT_EQ(c.reports, catcher.caught);
    EXPECT_EQ(kMergeTime, [&] {
      int64_t stamp = 0;
      merged.getTimeStamp(&stamp);
      return stamp;
    }());
    EXPECT_EQ(before, Snapshot(cached)) << "the in-memory document changed";
    EXPECT_EQ("A", merged.name);
    EXPECT_EQ("QQ==.slc", merged.fileName);
  }
}

TEST(SLCacheMergeTest, RecordStatusesDecideWhatIsReplayed) {
  SLCacheDoc cached(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            cached.initWithXMLString(
                DocText(Node("A", Key("a1", "1") + Key("a2", "2") + Key("a3", "3")) +
                        Node("B", Key("b", "1")) + Node("C", Key("c", "1"))),
                "A", "f"));
  SLCacheSubDomain* a = nullptr;
  ASSERT_EQ(kSLCacheOk, cached.getSubDomainRecord("A", &a));
  a->status = kSLCacheDocUpdated;
  a->children["a1"] = std::make_unique<SLCacheSubDomainChild>(kSLCacheDocRemove, nullptr);
  a->children["a9"] = std::make_unique<SLCacheSubDomainChild>(kSLCacheDocRemove, nullptr);
  SLCacheSubDomainChild* a2 = nullptr;
  ASSERT_EQ(kSLCacheOk, cached.getSubDomainChildRecord(a, "a2", &a2));
  a2->status = 9;  // out of scale: nothing
  SLCacheSubDomainChild* a3 = nullptr;
  ASSERT_EQ(kSLCacheOk, cached.getSubDomainChildRecord(a, "a3", &a3));
  a3->status = kSLCacheDocNew;  // replayed like Added; its element stays in the tree
  cached.subDomains["B"] = std::make_unique<SLCacheSubDomain>(kSLCacheDocRemove, nullptr);
  cached.subDomains["Q"] = std::make_unique<SLCacheSubDomain>(kSLCacheDocRemove, nullptr);
  cached.subDomains["C"] = std::make_unique<SLCacheSubDomain>(-1, nullptr);  // nothing
  cached.subDomains["E"] = nullptr;  // an empty entry counts as absent

  FixedTime mergeTime(kMergeTime);
  ReportCatcher catcher;
  SLCacheDoc merged(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk,
            merged.initWithXMLStringAndMergeCachedDoc(
                DocText(Node("A", Key("a1", "x") + Key("a2", "theirs") + Key("a3", "theirs")) +
                        Node("B", Key("b", "x")) + Node("C", Key("c", "theirs"))),
                "A", "f", &cached));
  EXPECT_EQ(Merged(Node("A", Key("a2", "theirs") + Key("a3", "3")) + Node("C", Key("c", "theirs"))),
            Printed(merged));
  EXPECT_EQ((std::vector<Report>{
                {3, "Warn:\t\t\t a9: No subdomain found, assuming it is already deleted."},
                {3, "Warn:\t\t\t Q: No subdomain found, assuming it is already deleted."}}),
            catcher.caught);
}

TEST(SLCacheMergeTest, Arguments) {
  SLCacheDoc cached(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, cached.initWithXMLString(DocText(""), "A", "f"));
  ReportCatcher catcher;
  {
    SLCacheDoc merged(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheBadInitArgument,
              merged.initWithXMLStringAndMergeCachedDoc(DocText(""), nullptr, "f", &cached));
  }
  {
    SLCacheDoc merged(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheBadInitArgument,
              merged.initWithXMLStringAndMergeCachedDoc("", "A", "f", &cached));
  }
  {
    SLCacheDoc merged(kSLCacheDocUnchanged);
    EXPECT_EQ(kSLCacheBadInitArgument,
              merged.initWithXMLStringAndMergeCachedDoc(DocText(""), "A", "f", nullptr));
  }
  EXPECT_EQ((std::vector<Report>{{4, "updatedCachedDoc invalid arguements."},
                                 {4, "updatedCachedDoc invalid arguements."},
                                 {4, "updatedCachedDoc is NULL can't merge the documents."}}),
            catcher.caught);
}

TEST(SLCacheMergeTest, UnparseableStoredTextIsReturnedAs1030) {
  SLCacheDoc cached(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, cached.initWithXMLString(DocText(""), "A", "f"));
  ASSERT_EQ(kSLCacheOk, cached.setValueForKey("A", "a", "1"));
  std::string before = Snapshot(cached);
  ReportCatcher catcher;
  SLCacheDoc merged(kSLCacheDocUnchanged);
  EXPECT_EQ(kSLCacheParseFailed,
            merged.initWithXMLStringAndMergeCachedDoc("<SLCInfo><node", "A", "f", &cached));
  ASSERT_EQ(2u, catcher.caught.size());
  EXPECT_EQ(2, catcher.caught[0].level);
  EXPECT_EQ((Report{4, "Failed to init the document with xml string present in the disk."}),
            catcher.caught[1]);
  EXPECT_EQ(before, Snapshot(cached));
}

TEST(SLCacheMergeTest, MergeSubDomainRecordArguments) {
  SLCacheSubDomain record(kSLCacheDocUpdated, nullptr);
  EXPECT_EQ(kSLCacheNullArgument, SLCacheDoc::mergeSubDomainRecord(&record, nullptr));
  TiXmlElement node("node");
  EXPECT_EQ(kSLCacheNullArgument, SLCacheDoc::mergeSubDomainRecord(nullptr, &node));
}

// Exhausted memory at each allocation in turn: the merge answers success or a listed error, a
// failing sub-domain never leaves half a new node, and the in-memory document never changes.
TEST(SLCacheMergeTest, ExhaustedMemoryAtEachStep) {
  SLCacheDoc cached(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, cached.initWithXMLString(DocText(Node("A", Key("a", "1"))), "A", "f"));
  ASSERT_EQ(kSLCacheOk, cached.setValueForKey("C", "c1", "1"));
  ASSERT_EQ(kSLCacheOk, cached.setValueForKey("C", "c2", "2"));
  ASSERT_EQ(kSLCacheOk, cached.setValueForKey("D", "d", "3"));
  const std::string before = Snapshot(cached);
  const std::string stored = DocText(Node("A", Key("a", "1")));
  const std::string full =
      Merged(Node("A", Key("a", "1")) + Node("C", Key("c1", "1") + Key("c2", "2")) +
             Node("D", Key("d", "3")));
  const std::string withoutC = Merged(Node("A", Key("a", "1")) + Node("D", Key("d", "3")));
  const std::string withoutD =
      Merged(Node("A", Key("a", "1")) + Node("C", Key("c1", "1") + Key("c2", "2")));

  FixedTime mergeTime(kMergeTime);
  bool sawCDropped = false;
  bool sawSuccess = false;
  for (int nth = 1; nth <= 60 && !sawSuccess; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth));
    SLCacheDoc merged(kSLCacheDocUnchanged);
    slcache::testing::FailAllocation(nth);
    SLCacheStatus result =
        merged.initWithXMLStringAndMergeCachedDoc(stored, "A", "f", &cached);
    slcache::testing::FailAllocation(0);
    EXPECT_EQ(before, Snapshot(cached));
    EXPECT_TRUE(result == kSLCacheOk || result == kSLCacheOutOfMemory ||
                result == kSLCacheNoMemoryForObject)
        << result;
    if (result != kSLCacheOk) continue;
    std::string printed = Printed(merged);
    sawCDropped = sawCDropped || printed == withoutC;
    sawSuccess = printed == full;
    EXPECT_TRUE(printed == full || printed == withoutC || printed == withoutD) << printed;
  }
  EXPECT_TRUE(sawCDropped) << "a failing new sub-domain is dropped and the merge goes on";
  EXPECT_TRUE(sawSuccess);
}

}  // namespace
