#include "cache/front/front.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/document/report.h"
#include "cache/document/test_support.h"
#include "cache/store/store_test_support.h"
#include "platform/platform.h"

namespace {

using slcache_test::ReadWhole;
using slcache_test::ReportCatcher;
using slcache_test::WriteWhole;

std::vector<std::string> Strings(char** list) {
  std::vector<std::string> strings;
  for (char** entry = list; entry && *entry; ++entry) strings.push_back(*entry);
  return strings;
}

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kSLCacheOk, cache_.store.prepare()); }

  std::string Value(SLCache& cache, const char* subDomain, const char* key) {
    const char* value = nullptr;
    const SLCacheStatus result = cache.getKey(subDomain, key, &value);
    return result == kSLCacheOk ? value : "code " + std::to_string(result);
  }
  std::string StoredValue(const char* subDomain, const char* key) {
    SLCache fresh;
    EXPECT_EQ(kSLCacheOk, fresh.store.prepare());
    return Value(fresh, subDomain, key);
  }
  std::string FileOf(const char* subDomain) {
    std::string fileName;
    EXPECT_EQ(kSLCacheOk, SLCacheStore::subDomainToFileName(subDomain, &fileName));
    return scratch_.DocPath(fileName);
  }
  // Stores a document text as it stands, sealed, under a sub-domain's file name.
  void Store(const char* subDomain, const std::string& text) {
    SLCacheDoc holder(kSLCacheDocUnchanged);
    holder.name = subDomain;
    std::string fileName;
    ASSERT_EQ(kSLCacheOk, SLCacheStore::subDomainToFileName(subDomain, &fileName));
    ASSERT_EQ(kSLCacheOk, cache_.store.createCacheDocReference(&holder, fileName, text));
  }
  std::vector<std::string> SubDomains(SLCacheStatus expected = kSLCacheOk) {
    char** list = nullptr;
    EXPECT_EQ(expected, cache_.getSubDomains(&list));
    std::vector<std::string> names = Strings(list);
    SLCacheFreeStringList(list);
    return names;
  }

  slcache_test::ScratchStore scratch_;
  SLCache cache_;
};

TEST_F(FrontTest, NeverWrittenSubDomainHasNoDocumentAndCachesNothing) {
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheNoDocument, cache_.getKey("nothing", "k", &value));
  char** keys = nullptr;
  EXPECT_EQ(kSLCacheNoDocument, cache_.getKeyList("nothing", &keys));
  EXPECT_EQ(kSLCacheNoDocument, cache_.removeKey("nothing", "k"));
  EXPECT_TRUE(cache_.documents.empty());
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
}

TEST_F(FrontTest, SetKeyCachesUntilSynchronised) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  EXPECT_EQ(cache_.documents.at("abc")->status, kSLCacheDocAdded);
  EXPECT_EQ(Value(cache_, "abc", "k"), "v");
  EXPECT_FALSE(platform::PathExists(FileOf("abc")));
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  EXPECT_TRUE(cache_.documents.empty());
  EXPECT_EQ(StoredValue("abc", "k"), "v");
  EXPECT_EQ(Value(cache_, "abc", "k"), "v");
  EXPECT_EQ(cache_.documents.at("abc")->status, kSLCacheDocUnchanged);
}

TEST_F(FrontTest, RemovedOwnSubDomainAnswersNotFoundUntilWrittenAgain) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("abc"));
  const char* value = nullptr;
  char** keys = nullptr;
  EXPECT_EQ(kSLCacheNotFound, cache_.getKey("abc", "k", &value));
  EXPECT_EQ(kSLCacheNotFound, cache_.getKeyList("abc", &keys));
  EXPECT_EQ(kSLCacheNotFound, cache_.removeKey("abc", "k"));
  EXPECT_EQ(kSLCacheNotFound, cache_.removeSubDomain("abc"));
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k2", "v2"));
  EXPECT_EQ(cache_.documents.at("abc")->status, kSLCacheDocAdded);
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  EXPECT_EQ(StoredValue("abc", "k2"), "v2");
  EXPECT_EQ(StoredValue("abc", "k"), "code 519");
}

TEST_F(FrontTest, RemovalDeletesTheFileOnlyWhenNothingElseRemains) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("abc"));
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  EXPECT_FALSE(platform::PathExists(FileOf("abc")));

  // A file shared with another sub-domain (as two names differing only in letter case share
  // one file where names are not case-sensitive) keeps what the other one stored.
  Store("abc", slcache_test::DocText("<node id=\"abc\"><key id=\"k\">v</key></node>"
                                     "<node id=\"abI\"><key id=\"other\">kept</key></node>"));
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("abc"));
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_TRUE(platform::PathExists(FileOf("abc")));
  SLCacheDoc* doc = nullptr;
  ASSERT_EQ(kSLCacheOk, cache_.getDocument("abc", &doc));
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheOk, doc->getValueForKey("abI", "other", &value));
  EXPECT_STREQ(value, "kept");
  EXPECT_EQ(kSLCacheNotFound, doc->getValueForKey("abc", "k", &value));
}

TEST_F(FrontTest, RemovalMergesWhatOthersStoredSinceTheLoad) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("abc"));
  // Meanwhile another front writes a second sub-domain into the same file.
  Store("abc", slcache_test::DocText("<node id=\"abc\"><key id=\"k\">v</key></node>"
                                     "<node id=\"late\"><key id=\"x\">y</key></node>"));
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_TRUE(platform::PathExists(FileOf("abc")));
  EXPECT_NE(ReadWhole(FileOf("abc")).find("<node id=\"late\"><key id=\"x\">y</key></node>"),
            std::string::npos);
}

TEST_F(FrontTest, SubDomainCreatedAndRemovedBeforeSyncHasNoFile) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("abc"));
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheNotFound, cache_.getKey("abc", "k", &value));
  EXPECT_EQ(kSLCacheSyncFailed, cache_.syncToFile());
  EXPECT_FALSE(platform::PathExists(FileOf("abc")));
  EXPECT_EQ(kSLCacheNoDocument, cache_.getKey("abc", "k", &value));
}

TEST_F(FrontTest, CorruptedStoredFileIsDeletedOnLoad) {
  Store("abc", slcache_test::DocText(""));
  WriteWhole(FileOf("abc"), "<SLCInfo><node id=");
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheParseFailed, cache_.getKey("abc", "k", &value));
  EXPECT_FALSE(platform::PathExists(FileOf("abc")));
  EXPECT_TRUE(cache_.documents.empty());
  EXPECT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "fresh"));
  EXPECT_EQ(cache_.documents.at("abc")->status, kSLCacheDocAdded);
}

TEST_F(FrontTest, CorruptedStoredFileIsReplacedBySync) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("abc", "k", "v"));
  Store("abc", slcache_test::DocText(""));
  WriteWhole(FileOf("abc"), "garbage that is no XML <<<");
  ReportCatcher reports;
  EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Document in the store is corrupted <abc>. Writing the cached doc "
                          "into the store."));
  EXPECT_EQ(StoredValue("abc", "k"), "v");
}

TEST_F(FrontTest, ListsSubDomainsOfStoreAndCache) {
  EXPECT_EQ(SubDomains(kSLCacheStoreMissing), std::vector<std::string>{});
  ASSERT_EQ(kSLCacheOk, cache_.setKey("b", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.setKey("a", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.setKey("gone", "k", "v"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  ASSERT_EQ(kSLCacheOk, cache_.setKey("cached", "k", "v"));  // not yet stored
  ASSERT_EQ(kSLCacheOk, cache_.removeSubDomain("gone"));
  WriteWhole(scratch_.DocPath("foreign.txt"), "x");
  WriteWhole(scratch_.DocPath("x.slc"), "x");
  ASSERT_EQ(0, platform::MakeFolder(scratch_.DocPath("YQ==.slc.d")));

  ReportCatcher reports;
  EXPECT_EQ(SubDomains(), (std::vector<std::string>{"a", "b", "cached"}));
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Found a document which is not created by slcache :x.slc"));
  for (const auto& report : reports.caught)
    EXPECT_EQ(report.text.find("foreign.txt"), std::string::npos) << report.text;
}

TEST_F(FrontTest, ArgumentsAreChecked) {
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheNullArgument, cache_.setKey(nullptr, "k", "v"));
  EXPECT_EQ(kSLCacheBadArgument, cache_.setKey("", "k", "v"));
  EXPECT_EQ(kSLCacheBadArgument, cache_.getKey("s", "", &value));
  EXPECT_EQ(kSLCacheNullArgument, cache_.getKey("s", "k", nullptr));
  EXPECT_EQ(kSLCacheNullArgument, cache_.getKeyList("s", nullptr));
  EXPECT_EQ(kSLCacheBadArgument, cache_.removeSubDomain(""));
  EXPECT_EQ(kSLCacheNullArgument, cache_.removeKey("s", nullptr));
  EXPECT_EQ(kSLCacheNullArgument, cache_.getSubDomains(nullptr));
  EXPECT_TRUE(cache_.documents.empty());
}

// The meta node and the seal node are the document's own: a sub-domain with either id would be
// its bookkeeping, rewritten (or damaged) by every synchronisation.
TEST_F(FrontTest, ReservedIdsAreRefusedAsSubDomainsToChange) {
  for (const char* reserved : {"__SLCMeta__", "__slcps__"}) {
    SCOPED_TRACE(reserved);
    EXPECT_EQ(kSLCacheBadArgument, cache_.setKey(reserved, "TimeStamp", "a"));
    EXPECT_EQ(kSLCacheBadArgument, cache_.setKey(reserved, "k", "v"));
    EXPECT_EQ(kSLCacheBadArgument, cache_.removeKey(reserved, "TimeStamp"));
    EXPECT_EQ(kSLCacheBadArgument, cache_.removeSubDomain(reserved));
    EXPECT_TRUE(cache_.documents.empty());
    EXPECT_EQ(kSLCacheOk, cache_.syncToFile());
    EXPECT_FALSE(platform::PathExists(FileOf(reserved)));
  }
  // Names that only resemble them are ordinary sub-domains.
  ASSERT_EQ(kSLCacheOk, cache_.setKey("__slcmeta__", "TimeStamp", "a"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  EXPECT_EQ("a", StoredValue("__slcmeta__", "TimeStamp"));
}

// The stored bytes depend only on content, time stamp and key, whichever build wrote them.
TEST_F(FrontTest, StoredBytesAreTheSameOnEveryTarget) {
  const std::string expected =
      "<SLCInfo><node id=\"__SLCMeta__\"><key id=\"VERSION\">2</key><key id=\"IsValid\">1</key>"
      "<key id=\"TimeStamp\">1700000000</key></node><node id=\"golden\"><key id=\"k\">v &amp; "
      "w</key></node><node id=\"__slcps__\"><key id=\"sig\">DRykvFRZG3Ye5uvpUPE-D+IfH2yEavacwIiTA+JeUNM=</key></node></SLCInfo>";
  {
    slcache_test::FixedTime time(1700000000);
    ASSERT_EQ(kSLCacheOk, cache_.setKey("golden", "k", "v & w"));
    ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  }
  EXPECT_EQ(ReadWhole(FileOf("golden")), expected);
  // And the text of the other build reads back with a valid seal.
  WriteWhole(FileOf("golden"), expected);
  ReportCatcher reports;
  EXPECT_EQ(Value(cache_, "golden", "k"), "v & w");
  EXPECT_FALSE(reports.Saw(kSLCacheReportInfo, "Signature verification failed."));
}

// ---------------------------------------------------------------------------------------------
// Flat entry points.

TEST_F(FrontTest, FlatEntryPointsRefuseFrontsThatAreNotLive) {
  SLCache* cache = nullptr;
  ASSERT_EQ(kSLCacheOk, SLCacheCreate(nullptr, &cache));
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(kSLCacheOk, SLCacheSetKey(cache, "abc", "k", "v"));
  const char* value = nullptr;
  EXPECT_EQ(kSLCacheOk, SLCacheGetKey(cache, "abc", "k", &value));
  EXPECT_STREQ(value, "v");
  bool valid = true;
  EXPECT_EQ(kSLCacheStoreMissing, SLCacheCheckStore(cache, &valid));
  EXPECT_FALSE(valid);
  EXPECT_EQ(kSLCacheNullArgument, SLCacheCheckStore(cache, nullptr));
  EXPECT_EQ(kSLCacheOk, SLCacheDestroy(cache, 1));
  EXPECT_EQ(StoredValue("abc", "k"), "v");

  // Destroyed: answered without touching the freed object.
  EXPECT_EQ(kSLCacheBadArgument, SLCacheSync(cache));
  EXPECT_EQ(kSLCacheBadArgument, SLCacheGetKey(cache, "abc", "k", &value));
  EXPECT_EQ(kSLCacheBadArgument, SLCacheDestroy(cache, 1));
  // Never made by SLCacheCreate, or absent.
  EXPECT_EQ(kSLCacheBadArgument, SLCacheSync(&cache_));
  EXPECT_EQ(kSLCacheBadArgument, SLCacheSync(nullptr));
  EXPECT_EQ(kSLCacheNullArgument, SLCacheCreate(nullptr, nullptr));
}

TEST_F(FrontTest, FlatStringArrays) {
  SLCache* cache = nullptr;
  ASSERT_EQ(kSLCacheOk, SLCacheCreate(nullptr, &cache));
  ASSERT_EQ(kSLCacheOk, SLCacheSetKey(cache, "s", "k2", "v"));
  ASSERT_EQ(kSLCacheOk, SLCacheSetKey(cache, "s", "k1", "v"));
  ASSERT_EQ(kSLCacheOk, SLCacheSync(cache));
  char** keys = nullptr;
  ASSERT_EQ(kSLCacheOk, SLCacheGetKeyList(cache, "s", &keys));
  std::vector<std::string> listed = Strings(keys);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"k1", "k2"}));
  EXPECT_EQ(kSLCacheOk, SLCacheFreeStringArray(cache, &keys));
  EXPECT_EQ(keys, nullptr);
  EXPECT_EQ(kSLCacheBadArgument, SLCacheFreeStringArray(cache, &keys));
  EXPECT_EQ(kSLCacheNoArrayPointer, SLCacheFreeStringArray(cache, nullptr));
  char** names = nullptr;
  ASSERT_EQ(kSLCacheOk, SLCacheGetSubDomains(cache, &names));
  EXPECT_EQ(Strings(names), std::vector<std::string>{"s"});
  EXPECT_EQ(kSLCacheOk, SLCacheFreeStringArray(cache, &names));
  EXPECT_EQ(kSLCacheOk, SLCacheRemoveKey(cache, "s", "k1"));
  EXPECT_EQ(kSLCacheOk, SLCacheRemoveSubDomain(cache, "s"));
  EXPECT_EQ(kSLCacheOk, SLCacheDestroy(cache, 1));
  EXPECT_FALSE(platform::PathExists(FileOf("s")));
}

// ---------------------------------------------------------------------------------------------
// Across processes.

// Helper mode "write|SUB,SUB,...|PREFIX|COUNT|FOLDER": announces itself in FOLDER, waits for
// FOLDER/go, then sets and synchronises COUNT keys PREFIX-i, round-robin over the sub-domains.
TEST(FrontChildProcess, Write) {
  const std::vector<std::string> p = slcache_test::ChildParameters();
  if (p.size() != 5 || p[0] != "write") GTEST_SKIP() << "runs only as a child process";
  const std::vector<std::string> subDomains = [&] {
    std::vector<std::string> names;
    std::stringstream in(p[1]);
    for (std::string name; std::getline(in, name, ',');) names.push_back(name);
    return names;
  }();
  const std::string folder = p[4] + platform::kPathSeparator;
  WriteWhole(folder + "ready-" + p[2], "");
  ASSERT_TRUE(slcache_test::WaitForFile(folder + "go", 60));
  SLCache* cache = nullptr;
  ASSERT_EQ(kSLCacheOk, SLCacheCreate(nullptr, &cache));
  const int count = std::stoi(p[3]);
  for (int i = 0; i < count; ++i) {
    const std::string& subDomain = subDomains[i % subDomains.size()];
    const std::string key = p[2] + "-" + std::to_string(i);
    ASSERT_EQ(kSLCacheOk, SLCacheSetKey(cache, subDomain.c_str(), key.c_str(), key.c_str()));
    ASSERT_EQ(kSLCacheOk, SLCacheSync(cache)) << key;
  }
  ASSERT_EQ(kSLCacheOk, SLCacheDestroy(cache, 0));
}

class FrontProcessesTest : public FrontTest {
 protected:
  // Runs one writer per prefix, released together, and checks that each exits cleanly.
  void RunWriters(const std::string& subDomains, int writers, int count) {
    std::vector<std::string> parameters;
    for (int w = 0; w < writers; ++w)
      parameters.push_back("write|" + subDomains + "|w" + std::to_string(w) + "|" +
                           std::to_string(count) + "|" + scratch_.scratch());
    std::vector<int> statuses;
    std::thread runner(
        [&] { statuses = slcache_test::RunChildren("FrontChildProcess.Write", parameters); });
    for (int w = 0; w < writers; ++w)
      EXPECT_TRUE(slcache_test::WaitForFile(
          scratch_.ScratchPath("ready-w" + std::to_string(w)), 60));
    WriteWhole(scratch_.ScratchPath("go"), "");
    runner.join();
    EXPECT_EQ(statuses, std::vector<int>(writers, 0));
  }

  // Every key of every writer is stored, every document parses and its seal verifies.
  void ExpectAllKeys(const std::vector<std::string>& subDomains, int writers, int count) {
    SLCache fresh;
    ASSERT_EQ(kSLCacheOk, fresh.store.prepare());
    ReportCatcher reports;
    for (int w = 0; w < writers; ++w) {
      for (int i = 0; i < count; ++i) {
        const std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
        const char* subDomain = subDomains[i % subDomains.size()].c_str();
        EXPECT_EQ(Value(fresh, subDomain, key.c_str()), key) << subDomain;
      }
    }
    for (const std::string& subDomain : subDomains)
      EXPECT_EQ(fresh.documents.count(subDomain), 1u) << subDomain;
    EXPECT_FALSE(reports.Saw(kSLCacheReportInfo, "Signature verification failed."));
    EXPECT_FALSE(reports.Saw(kSLCacheReportInfo,
                             "Couldn't found signature tag, could be old version slc file, don't "
                             "do any thing ignore."));
  }
};

TEST_F(FrontProcessesTest, TwoProcessesChangingOneDocumentKeepBothKeys) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("shared", "seed", "s"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  RunWriters("shared", 2, 20);
  ExpectAllKeys({"shared"}, 2, 20);
  EXPECT_EQ(StoredValue("shared", "seed"), "s");
}

TEST_F(FrontProcessesTest, ProcessesCreatingOneNewSubDomainKeepEveryKey) {
  RunWriters("fresh", 6, 1);
  ExpectAllKeys({"fresh"}, 6, 1);
}

TEST_F(FrontProcessesTest, StressEightWritersOverFourSubDomains) {
  ASSERT_EQ(kSLCacheOk, cache_.setKey("stress-0", "seed", "s"));
  ASSERT_EQ(kSLCacheOk, cache_.setKey("stress-1", "seed", "s"));
  ASSERT_EQ(kSLCacheOk, cache_.syncToFile());
  RunWriters("stress-0,stress-1,stress-2,stress-3", 8, 100);
  ExpectAllKeys({"stress-0", "stress-1", "stress-2", "stress-3"}, 8, 100);
}

}  // namespace
