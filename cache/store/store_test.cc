#include "cache/store/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/document/report.h"
#include "cache/document/test_support.h"
#include "cache/store/store_test_support.h"
#include "platform/platform.h"

namespace {

using slcache_test::ReadWhole;
using slcache_test::ReportCatcher;
using slcache_test::WriteWhole;
namespace fs = std::filesystem;

const std::string kText = slcache_test::DocText("<node id=\"s\"><key id=\"k\">v</key></node>");

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kSLCacheOk, store_.prepare()); }

  SLCacheDoc* NewDoc(const std::string& name) {
    docs_.push_back(std::make_unique<SLCacheDoc>(kSLCacheDocUnchanged));
    docs_.back()->name = name;
    return docs_.back().get();
  }
  void Write(const std::string& fileName, const std::string& text) {
    SLCacheDoc* doc = NewDoc("s");
    ASSERT_EQ(kSLCacheOk, store_.createCacheDocReference(doc, fileName, text));
  }
  void TearDown() override {
    for (auto& doc : docs_) SLCacheStore::releaseDocFile(doc.get());
  }

  slcache_test::ScratchStore scratch_;
  SLCacheStore store_;
  std::vector<std::unique_ptr<SLCacheDoc>> docs_;
};

TEST(StoreFileNameTest, EncodesAndDecodesBothWays) {
  const struct {
    const char* subDomain;
    const char* fileName;
  } cases[] = {
      {"abc", "YWJj.slc"},
      {"a", "YQ==.slc"},
      {"???", "Pz8-.slc"},
      {"__slc_features__", "X19zbGNfZmVhdHVyZXNfXw==.slc"},
      {"abI", "YWJJ.slc"},
  };
  for (const auto& c : cases) {
    std::string fileName, subDomain;
    EXPECT_EQ(kSLCacheOk, SLCacheStore::subDomainToFileName(c.subDomain, &fileName));
    EXPECT_EQ(fileName, c.fileName);
    EXPECT_EQ(kSLCacheOk, SLCacheStore::fileNameToSubDomain(c.fileName, &subDomain));
    EXPECT_EQ(subDomain, c.subDomain);
  }
}

TEST(StoreFileNameTest, RefusesWhatItCannotMap) {
  ReportCatcher reports;
  std::string fileName = "kept";
  EXPECT_EQ(kSLCacheBadArgument, SLCacheStore::subDomainToFileName("", &fileName));
  EXPECT_EQ(kSLCacheBadArgument, SLCacheStore::subDomainToFileName(nullptr, &fileName));
  EXPECT_TRUE(reports.caught.empty());

  const struct {
    const char* fileName;
    bool reported;
  } cases[] = {
      {"YWJ.slc", true},    // three characters before the extension
      {"====.slc", true},   // decodes to nothing
      {"a.slc", true},      // one character
      {"YWIAYw==.slc", true},  // "ab", NUL, "c": no caller can name it
      {"AA==.slc", true},      // a lone NUL
      {"YWJj.SLC", false},  // the extension is case-sensitive
      {"YWJj.txt", false},
      {".slc", false},
      {"", false},
  };
  for (const auto& c : cases) {
    reports.caught.clear();
    std::string subDomain = "kept";
    EXPECT_EQ(kSLCacheBadArgument, SLCacheStore::fileNameToSubDomain(c.fileName, &subDomain))
        << c.fileName;
    const std::string message = std::string("Failed to decode subdomain from file name:") +
                                c.fileName + "\n";
    EXPECT_EQ(reports.Saw(kSLCacheReportInfo, message), c.reported) << c.fileName;
    EXPECT_EQ(reports.caught.size(), c.reported ? 1u : 0u) << c.fileName;
  }
}

TEST_F(StoreTest, MissingFolderIsReportedNeverCreatedByReads) {
  ReportCatcher reports;
  std::vector<std::string> names = {"untouched"};
  EXPECT_EQ(kSLCacheStoreMissing, store_.checkCacheStore());
  EXPECT_EQ(kSLCacheStoreMissing, store_.listCacheFiles(&names));
  EXPECT_EQ(names, std::vector<std::string>{"untouched"});
  std::string text = "kept";
  EXPECT_EQ(kSLCacheNoDocument, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_TRUE(reports.Saw(kSLCacheReportInfo, "No cache doc found with name:YWJj.slc"));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(kSLCacheNoDocument, store_.deleteCacheDocReference("YWJj.slc"));
  EXPECT_FALSE(platform::PathExists(scratch_.folder()));
}

TEST_F(StoreTest, WritesSealedTextAndReadsItBack) {
  Write("YWJj.slc", kText);
  EXPECT_EQ(kSLCacheOk, store_.checkCacheStore());
  const std::string stored = ReadWhole(scratch_.DocPath("YWJj.slc"));
  EXPECT_NE(stored.find("<node id=\"__slcps__\"><key id=\"sig\">"), std::string::npos);
  EXPECT_EQ(stored.substr(stored.size() - 23), "</key></node></SLCInfo>");

  ReportCatcher reports;
  std::string text;
  EXPECT_EQ(kSLCacheOk, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_EQ(text, kText);
  EXPECT_FALSE(reports.Saw(kSLCacheReportInfo, "Signature verification failed."));

  // A shorter text leaves no tail of the longer one.
  const std::string shorter = slcache_test::DocText("");
  Write("YWJj.slc", shorter);
  EXPECT_EQ(kSLCacheOk, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_EQ(text, shorter);
}

TEST_F(StoreTest, ListsFilesButNotFoldersOrDotEntries) {
  Write("YWJj.slc", kText);
  Write("YQ==.slc", kText);
  ASSERT_EQ(0, platform::MakeFolder(scratch_.DocPath("sub.slc")));
  std::vector<std::string> names = {"first"};
  EXPECT_EQ(kSLCacheOk, store_.listCacheFiles(&names));
  std::sort(names.begin() + 1, names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"first", "YQ==.slc", "YWJj.slc"}));
}

TEST_F(StoreTest, FolderMadeByAnotherProcessFirstIsSuccess) {
  fs::create_directories(scratch_.folder());
  EXPECT_EQ(kSLCacheOk, store_.createCacheFolder(scratch_.folder()));
}

TEST_F(StoreTest, EmptyFileIsNoDocumentAndUpdateHoldsItLocked) {
  Write("YWJj.slc", kText);
  WriteWhole(scratch_.DocPath("YWJj.slc"), "");
  ReportCatcher reports;
  std::string text;
  EXPECT_EQ(kSLCacheNoDocument, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_TRUE(reports.Saw(kSLCacheReportInfo,
                          "Got empty string from the file, treating as file doesnot exist."));
  // The update of an empty file holds it under a one-byte lock: a zero-length lock would be
  // taken as the whole file on some systems, and no lock at all would let two writers in.
  SLCacheDoc* doc = NewDoc("abc");
  EXPECT_EQ(kSLCacheNoDocument, store_.readCacheDocReference("YWJj.slc", &text, doc, true));
  ASSERT_TRUE(doc->lockedFile.file);
  EXPECT_EQ(doc->lockedFile.lockedLength, 1u);
  EXPECT_EQ(kSLCacheOk, SLCacheStore::releaseDocFile(doc));
  EXPECT_FALSE(doc->lockedFile.file);
  EXPECT_EQ(doc->lockedFile.lockedLength, 0xFFFFFFFFu);
}

TEST_F(StoreTest, UpdateCreatesMissingFileOnlyWhenAsked) {
  std::string text;
  SLCacheDoc* doc = NewDoc("abc");
  EXPECT_EQ(kSLCacheNoDocument, store_.readCacheDocReference("YWJj.slc", &text, doc, false));
  EXPECT_FALSE(doc->lockedFile.file);
  EXPECT_FALSE(platform::PathExists(scratch_.DocPath("YWJj.slc")));
  EXPECT_EQ(kSLCacheNoDocument, store_.readCacheDocReference("YWJj.slc", &text, doc, true));
  EXPECT_TRUE(doc->lockedFile.file);
  EXPECT_TRUE(platform::PathExists(scratch_.DocPath("YWJj.slc")));
  // The write goes through the held file and releases it.
  EXPECT_EQ(kSLCacheOk, store_.createCacheDocReference(doc, "YWJj.slc", kText));
  EXPECT_FALSE(doc->lockedFile.file);
  EXPECT_EQ(kSLCacheOk, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_EQ(text, kText);
}

TEST_F(StoreTest, BadWriteArgumentsWriteNothing) {
  Write("YWJj.slc", kText);
  const std::string before = ReadWhole(scratch_.DocPath("YWJj.slc"));
  ReportCatcher reports;
  SLCacheDoc* doc = NewDoc("abc");
  EXPECT_EQ(kSLCacheBadStoreArgument, store_.writeDocFile(scratch_.DocPath("YWJj.slc"), "", doc));
  EXPECT_EQ(kSLCacheBadStoreArgument,
            store_.writeDocFile(scratch_.DocPath("YWJj.slc"), kText, nullptr));
  EXPECT_EQ(kSLCacheBadStoreArgument, store_.createCacheDocReference(doc, "", kText));
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Invalid cache file name reference passed in, empty file name."));
  EXPECT_EQ(kSLCacheFailure, store_.createCacheDocReference(doc, "YWJj.slc", ""));
  EXPECT_EQ(ReadWhole(scratch_.DocPath("YWJj.slc")), before);
}

TEST_F(StoreTest, OversizedFileIsRefusedWithoutReadingIt) {
  Write("YWJj.slc", kText);
  // 0xFFFFFFFF bytes: "size + 1" would wrap to 0 in 32 bits.
  fs::resize_file(scratch_.DocPath("YWJj.slc"), 0xFFFFFFFFull);
  std::string text = "kept";
  EXPECT_EQ(kSLCacheFileReadFailed, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  EXPECT_EQ(text, "kept");
}

TEST_F(StoreTest, DeletesOnlyWhatItIsAskedTo) {
  Write("YWJj.slc", kText);
  EXPECT_FALSE(store_.deleteCorruptedCacheDocReference(".slc"));
  EXPECT_FALSE(store_.deleteCorruptedCacheDocReference("Y.sl"));
  EXPECT_TRUE(platform::PathExists(scratch_.DocPath("YWJj.slc")));
  EXPECT_TRUE(store_.deleteCorruptedCacheDocReference("YWJj.slc"));
  EXPECT_FALSE(platform::PathExists(scratch_.DocPath("YWJj.slc")));
  Write("YWJj.slc", kText);
  EXPECT_EQ(kSLCacheOk, store_.deleteCacheDocReference("YWJj.slc"));
  EXPECT_EQ(kSLCacheNoDocument, store_.deleteCacheDocReference("YWJj.slc"));
}

// A link planted under a document's name in the world-writable cache folder is never followed
// or written through.
TEST_F(StoreTest, RefusesPlantedLinks) {
  if (slcache_test::OnWindows())
    GTEST_SKIP() << "links in the cache folder need privileges on Windows; checked on POSIX";
  Write("YQ==.slc", kText);
  const std::string victim = scratch_.ScratchPath("victim");
  WriteWhole(victim, "precious");
  fs::create_symlink(victim, scratch_.DocPath("YWJj.slc"));
  fs::create_hard_link(victim, scratch_.DocPath("YWJI.slc"));

  ReportCatcher reports;
  std::string text;
  EXPECT_EQ(kSLCacheFileReadFailed, store_.readCacheDocReference("YWJj.slc", &text, nullptr));
  for (const char* name : {"YWJj.slc", "YWJI.slc"}) {
    SLCacheDoc* doc = NewDoc("abc");
    EXPECT_EQ(kSLCacheFileReadFailed, store_.readCacheDocReference(name, &text, doc, true))
        << name;
    EXPECT_EQ(kSLCacheFileReadFailed, store_.createCacheDocReference(doc, name, kText)) << name;
  }
  EXPECT_EQ(ReadWhole(victim), "precious");
  EXPECT_TRUE(fs::is_symlink(scratch_.DocPath("YWJj.slc")));
}

// ---------------------------------------------------------------------------------------------
// Across processes.

// Helper mode: reads one document and writes its text, or the failure code, to a file.
TEST(StoreChildProcess, Read) {
  const std::vector<std::string> p = slcache_test::ChildParameters();
  if (p.size() != 3 || p[0] != "read") GTEST_SKIP() << "runs only as a child process";
  SLCacheStore store;
  ASSERT_EQ(kSLCacheOk, store.prepare());
  std::string text;
  const SLCacheStatus result = store.readCacheDocReference(p[1], &text, nullptr);
  WriteWhole(p[2], result == kSLCacheOk ? text : "code " + std::to_string(result));
}

TEST_F(StoreTest, ReaderWaitsForTheUpdateToBeWritten) {
  Write("YWJj.slc", kText);
  SLCacheDoc* doc = NewDoc("abc");
  std::string text;
  ASSERT_EQ(kSLCacheOk, store_.readCacheDocReference("YWJj.slc", &text, doc, true));

  const std::string out = scratch_.ScratchPath("read.txt");
  std::vector<int> statuses;
  std::thread reader([&] {
    statuses = slcache_test::RunChildren("StoreChildProcess.Read",
                                         {"read|YWJj.slc|" + out});
  });
  // The reader cannot get past the update's exclusive lock.
  std::this_thread::sleep_for(std::chrono::milliseconds(slcache_test::OnWindows() ? 1500 : 400));
  EXPECT_FALSE(platform::PathExists(out));
  const std::string merged =
      slcache_test::DocText("<node id=\"s\"><key id=\"k\">merged and longer</key></node>");
  EXPECT_EQ(kSLCacheOk, store_.createCacheDocReference(doc, "YWJj.slc", merged));
  reader.join();
  EXPECT_EQ(statuses, std::vector<int>{0});
  EXPECT_EQ(ReadWhole(out), merged);
}

}  // namespace
