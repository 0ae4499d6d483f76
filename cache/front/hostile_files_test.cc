// Files in the world-writable cache folder that this library never wrote: each is answered with
// a code and a report through the flat entry points and the listing, crashes nothing, and leaves
// every other document exactly as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cache/document/report.h"
#include "cache/document/seal.h"
#include "cache/document/test_support.h"
#include "cache/front/front.h"
#include "cache/store/store_test_support.h"
#include "platform/platform.h"

namespace {

using slcache_test::ReadWhole;
using slcache_test::ReportCatcher;
using slcache_test::WriteWhole;
namespace fs = std::filesystem;

std::string FileName(const std::string& subDomain) {
  std::string encoded;
  SLCacheBase64Encode(subDomain.data(), subDomain.size(), &encoded);
  return encoded + ".slc";
}

// A document text holding one key of one sub-domain, sealed as the store seals it.
std::string Sealed(const std::string& subDomain, const std::string& key,
                   const std::string& value) {
  std::string text = slcache_test::DocText("<node id=\"" + subDomain + "\"><key id=\"" + key +
                                           "\">" + value + "</key></node>");
  SLCacheSealingKey sealingKey;
  EXPECT_EQ(kSLCacheOk, SLCacheLoadSealingKey(&sealingKey));
  EXPECT_EQ(kSLCacheOk, embedSignature(&sealingKey, &text));
  return text;
}

std::vector<std::string> Strings(char** list) {
  std::vector<std::string> strings;
  for (char** entry = list; entry && *entry; ++entry) strings.push_back(*entry);
  return strings;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

class HostileFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kSLCacheOk, SLCacheCreate(nullptr, &cache_));
    for (const char* name : kBystanders) {
      ASSERT_EQ(kSLCacheOk, SLCacheSetKey(cache_, name, "k", name));
    }
    ASSERT_EQ(kSLCacheOk, SLCacheSync(cache_));
    for (const char* name : kBystanders) before_.push_back(ReadWhole(Path(FileName(name))));
  }

  // Whatever a case did, the documents written by the library are intact and readable.
  void TearDown() override {
    for (size_t i = 0; i < std::size(kBystanders); ++i) {
      EXPECT_EQ(ReadWhole(Path(FileName(kBystanders[i]))), before_[i]) << kBystanders[i];
      EXPECT_EQ(Value(kBystanders[i], "k"), kBystanders[i]);
    }
    EXPECT_EQ(kSLCacheOk, SLCacheDestroy(cache_, 1));
  }

  std::string Path(const std::string& fileName) const { return scratch_.DocPath(fileName); }

  // The value through the flat entry point, or "code N". The cache is emptied first, so that
  // the value comes from the store.
  std::string Value(const char* subDomain, const char* key) {
    EXPECT_EQ(kSLCacheOk, SLCacheSync(cache_));
    const char* value = nullptr;
    const SLCacheStatus result = SLCacheGetKey(cache_, subDomain, key, &value);
    return result == kSLCacheOk ? std::string(value) : "code " + std::to_string(result);
  }

  std::vector<std::string> Listing() {
    char** names = nullptr;
    EXPECT_EQ(kSLCacheOk, SLCacheGetSubDomains(cache_, &names));
    std::vector<std::string> listed = Strings(names);
    if (names != nullptr) {
      EXPECT_EQ(kSLCacheOk, SLCacheFreeStringArray(cache_, &names));
    }
    for (const char* name : kBystanders) EXPECT_TRUE(Contains(listed, name)) << name;
    return listed;
  }

  // Sets a key in `subDomain` and synchronises: the code of the synchronisation.
  SLCacheStatus WriteThrough(const char* subDomain) {
    const SLCacheStatus set = SLCacheSetKey(cache_, subDomain, "written", "w");
    if (set != kSLCacheOk) return set;
    return SLCacheSync(cache_);
  }

  static constexpr const char* kBystanders[] = {"bystander-1", "bystander-2"};
  slcache_test::ScratchStore scratch_;
  SLCache* cache_ = nullptr;
  std::vector<std::string> before_;
};

std::string Repeat(const std::string& part, size_t times) {
  std::string text;
  text.reserve(part.size() * times);
  for (size_t i = 0; i < times; ++i) text += part;
  return text;
}

// Texts planted under a sub-domain's file name. A text the parser cannot take is answered 1030
// and removed (a damaged document is dropped, as one that half-written text would be); a text
// it can take loads, with a report when its seal does not match.
TEST_F(HostileFilesTest, PlantedTexts) {
  const struct {
    const char* name;
    std::string bytes;
    SLCacheStatus code;       // of a read of key "k" through the flat entry point
    const char* report;       // a report that the read makes
    bool kept;                // whether the file is still there after the read
  } cases[] = {
      {"nul-first", std::string("\0\xff\xfe<SLCInfo></SLCInfo>", 23), kSLCacheParseFailed,
       nullptr, false},
      {"bad-utf8-markup", "<SLCInfo><node id=\"x\xff\xfe\xc0\"><key \xf8\x88=\"1\">",
       kSLCacheParseFailed, nullptr, false},
      {"utf8-bom-truncated", "\xEF\xBB\xBF<SLCInfo><node id=\"a\"><key id=\"k\">\xF0",
       kSLCacheParseFailed, nullptr, false},
      {"nested-100000", "<SLCInfo>" + Repeat("<node>", 100000) + Repeat("</node>", 100000) +
                            "</SLCInfo>",
       kSLCacheParseFailed, nullptr, false},
      {"nested-100000-open", "<SLCInfo>" + Repeat("<n id=\"x\">", 100000), kSLCacheParseFailed,
       nullptr, false},
      // Bytes after a NUL are not read by the parser, but the seal covers them.
      {"nul-tail", Sealed("nul-tail", "k", "v") + std::string("\0\xff garbage", 10), kSLCacheOk,
       "Signature verification failed.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(FileName(c.name));
    WriteWhole(path, c.bytes);
    ASSERT_EQ(ReadWhole(path).size(), c.bytes.size());

    {
      ReportCatcher reports;
      const std::vector<std::string> listed = Listing();
      if (c.code == kSLCacheParseFailed) {
        EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                                "Warn:Failed to parse the slc document content:" + FileName(c.name)));
        EXPECT_FALSE(Contains(listed, c.name));
      }
    }

    ReportCatcher reports;
    EXPECT_EQ(Value(c.name, "k"), c.code == kSLCacheOk ? std::string("v")
                                                        : "code " + std::to_string(c.code));
    if (c.report) {
      EXPECT_TRUE(reports.Saw(kSLCacheReportInfo, c.report));
    }
    if (c.code == kSLCacheParseFailed) {
      bool parseReported = false;
      for (const auto& report : reports.caught)
        parseReported |= report.level == kSLCacheReportError &&
                         report.text.find("ERROR:Failed to parse the slc document data") == 0;
      EXPECT_TRUE(parseReported);
    }
    EXPECT_EQ(platform::PathExists(path), c.kept);

    // A write goes through either way: over the damaged file, or into the one left in place.
    EXPECT_EQ(kSLCacheOk, WriteThrough(c.name));
    EXPECT_EQ(Value(c.name, "written"), "w");
    std::error_code ignored;
    fs::remove(path, ignored);
  }
}

// Values are bytes: invalid UTF-8 in a value reads back as it stands.
TEST_F(HostileFilesTest, BadUtf8ValueReadsBackAsItStands) {
  WriteWhole(Path(FileName("raw")), Sealed("raw", "k", "\xff\xfe\xc0\x80"));
  ReportCatcher reports;
  EXPECT_EQ(Value("raw", "k"), "\xff\xfe\xc0\x80");
  EXPECT_FALSE(reports.Saw(kSLCacheReportInfo, "Signature verification failed."));
}

// The store reads documents up to 64 MiB; a larger file is refused unread, left in place, and
// neither stops the listing nor is overwritten by a write.
TEST_F(HostileFilesTest, DocumentsAtAndBeyondTheSizeLimit) {
  // A sealed document of exactly the limit: the seal node adds a fixed length.
  const std::string shell = Sealed("huge", "k", "");
  const std::string value(kSLCacheMaxDocumentSize - shell.size(), 'x');
  const std::string atLimit = Sealed("huge", "k", value);
  ASSERT_EQ(atLimit.size(), kSLCacheMaxDocumentSize);
  const std::string path = Path(FileName("huge"));
  WriteWhole(path, atLimit);
  {
    ReportCatcher reports;
    EXPECT_TRUE(Contains(Listing(), "huge"));
    const std::string read = Value("huge", "k");
    EXPECT_EQ(read.size(), value.size());
    EXPECT_EQ(read == value, true);
    EXPECT_FALSE(reports.Saw(kSLCacheReportInfo, "Signature verification failed."));
  }

  WriteWhole(path, atLimit + " ");
  ReportCatcher reports;
  EXPECT_FALSE(Contains(Listing(), "huge"));
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Found a document which couldn't be decoded by slcache :" +
                              FileName("huge") + " - SLCacheStatus code:770"));
  EXPECT_EQ(Value("huge", "k"), "code 770");
  EXPECT_TRUE(reports.Saw(kSLCacheReportInfo, "Document file too large to read: 67108865 bytes."));
  EXPECT_EQ(WriteThrough("huge"), kSLCacheFileReadFailed);
  EXPECT_EQ(fs::file_size(path), kSLCacheMaxDocumentSize + 1);
  fs::remove(path);
}

// No caller can name a sub-domain with a NUL byte: a file whose name decodes to one was not
// written by this library and is passed over by the listing, never read as the document of the
// name cut at the NUL.
TEST_F(HostileFilesTest, FileNameDecodingToANameWithANul) {
  const std::string withNul("bystander-1\0x", 13);
  const std::string fileName = FileName(withNul);
  WriteWhole(Path(fileName), Sealed("planted", "k", "p"));
  std::string decoded = "kept";
  ReportCatcher reports;
  EXPECT_EQ(kSLCacheBadArgument, SLCacheStore::fileNameToSubDomain(fileName, &decoded));
  EXPECT_TRUE(decoded.empty());
  EXPECT_TRUE(reports.Saw(kSLCacheReportInfo,
                          "Failed to decode subdomain from file name:" + fileName + "\n"));

  const std::vector<std::string> listed = Listing();
  EXPECT_FALSE(Contains(listed, "planted"));
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Found a document which is not created by slcache :" + fileName));
  EXPECT_EQ(Value("planted", "k"), "code 769");
  EXPECT_TRUE(platform::PathExists(Path(fileName)));
}

// A folder under a document's name: listed as nothing, refused for reading and writing, left
// as it is.
TEST_F(HostileFilesTest, FolderNamedLikeADocument) {
  const std::string path = Path(FileName("folder"));
  ASSERT_EQ(0, platform::MakeFolder(path));
  WriteWhole(path + platform::kPathSeparator + "inner", "inner");
  ReportCatcher reports;
  EXPECT_FALSE(Contains(Listing(), "folder"));
  EXPECT_EQ(Value("folder", "k"), "code 770");
  EXPECT_EQ(WriteThrough("folder"), kSLCacheFileReadFailed);
  char** keys = nullptr;
  EXPECT_EQ(kSLCacheFileReadFailed, SLCacheGetKeyList(cache_, "folder", &keys));
  EXPECT_EQ(kSLCacheFileReadFailed, SLCacheRemoveSubDomain(cache_, "folder"));
  EXPECT_EQ(kSLCacheOk, SLCacheSync(cache_));
  bool openReported = false;
  for (const auto& report : reports.caught)
    openReported |= report.text.find("Failed to open file in read mode") == 0;
  EXPECT_TRUE(openReported);
  platform::FileFacts facts;
  EXPECT_TRUE(platform::StatPath(path, &facts) == 0 && facts.is_folder);
  EXPECT_EQ(ReadWhole(path + platform::kPathSeparator + "inner"), "inner");
}

// A read-only document is read as usual; a change to it fails at synchronisation and the file
// keeps its text.
TEST_F(HostileFilesTest, ReadOnlyDocument) {
  const std::string path = Path(FileName("read-only"));
  const std::string text = Sealed("read-only", "k", "v");
  WriteWhole(path, text);
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  struct Restore {
    std::string path;
    ~Restore() {
      std::error_code ignored;
      fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ignored);
    }
  } restore{path};

  EXPECT_EQ(Value("read-only", "k"), "v");
  EXPECT_TRUE(Contains(Listing(), "read-only"));

  platform::FileOpenOptions writable;
  writable.write = true;
  std::unique_ptr<platform::File> probe;
  if (platform::OpenFile(path, writable, &probe) == 0)
    GTEST_SKIP() << "this account may write read-only files (root, or a system that ignores the "
                    "read-only attribute): nothing to refuse";

  ReportCatcher reports;
  EXPECT_EQ(kSLCacheOk, SLCacheSetKey(cache_, "read-only", "written", "w"));
  EXPECT_EQ(kSLCacheSyncFailed, SLCacheSync(cache_));
  bool openReported = false;
  for (const auto& report : reports.caught)
    openReported |= report.text.find("Failed to open file in write mode") == 0;
  EXPECT_TRUE(openReported);
  EXPECT_EQ(ReadWhole(path), text);
  EXPECT_EQ(Value("read-only", "written"), "code 519");
}

// Links planted under documents' names are never followed for reading, never written through,
// and stay as they are; the files they name keep their text.
TEST_F(HostileFilesTest, LinksNamedLikeDocuments) {
  if (slcache_test::OnWindows())
    GTEST_SKIP() << "links in the cache folder need privileges on Windows; checked on POSIX";
  const std::string victim = scratch_.ScratchPath("victim");
  const std::string victimText = Sealed("symbolic", "k", "victim");
  WriteWhole(victim, victimText);
  const std::string symbolic = Path(FileName("symbolic"));
  const std::string hard = Path(FileName("hard"));
  fs::create_symlink(victim, symbolic);
  fs::create_hard_link(victim, hard);

  ReportCatcher reports;
  const std::vector<std::string> listed = Listing();
  EXPECT_TRUE(reports.Saw(kSLCacheReportWarning,
                          "Warn:Found a document which couldn't be decoded by slcache :" +
                              FileName("symbolic") + " - SLCacheStatus code:770"));
  // Reading through a hard link is harmless: the text is the one the link names.
  EXPECT_EQ(Value("symbolic", "k"), "code 770");
  EXPECT_EQ(WriteThrough("symbolic"), kSLCacheFileReadFailed);
  EXPECT_EQ(WriteThrough("hard"), kSLCacheSyncFailed);
  bool refusalReported = false;
  for (const auto& report : reports.caught)
    refusalReported |= report.text == "Failed to open file in write mode, error code:" +
                                          std::to_string(platform::kErrorRefused) + ".";
  EXPECT_TRUE(refusalReported);

  EXPECT_EQ(ReadWhole(victim), victimText);
  EXPECT_TRUE(fs::is_symlink(symbolic));
  EXPECT_EQ(fs::hard_link_count(hard), 2u);
  (void)listed;
}

}  // namespace
