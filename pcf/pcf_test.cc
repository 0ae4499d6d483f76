#include "pcf/pcf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/paths.h"

namespace {

// Payload codes of these tests all begin with "{7E57", so that the files they leave in a
// shared PCF folder (the Windows target has no per-test machine root) can be cleaned away.
const std::string kTestCodePrefix = "{7E57";
const std::string kCodeA = "{7E570000-0000-4000-8000-00000000000A}";
const std::string kCodeB = "{7E570000-0000-4000-8000-00000000000B}";
const std::string kCodeC = "{7E570000-0000-4000-8000-00000000000C}";
const std::string kFixtureCode = "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}";

std::string Join(const std::string& folder, const std::string& name) {
  return folder + platform::kPathSeparator + name;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* stream = OpenFileShared(path.c_str(), "wb");
  if (stream == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
  return std::fclose(stream) == 0 && ok;
}

std::optional<std::string> ReadBytes(const std::string& path) {
  std::FILE* stream = OpenFileShared(path.c_str(), "rb");
  if (stream == nullptr) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) bytes.append(chunk, got);
  std::fclose(stream);
  return bytes;
}

std::vector<std::string> FileNames(const std::string& folder) {
  std::vector<platform::FolderEntry> entries;
  bool startFailed = false;
  platform::ListFolder(folder, &entries, &startFailed);
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    if (!entry.is_folder) names.push_back(entry.name);
  }
  return names;
}

void RemoveTree(const std::string& folder) {
  std::vector<platform::FolderEntry> entries;
  bool startFailed = false;
  platform::ListFolder(folder, &entries, &startFailed);
  for (const auto& entry : entries) {
    if (entry.name == "." || entry.name == "..") continue;
    const std::string path = Join(folder, entry.name);
    if (entry.is_folder) {
      RemoveTree(path);
    } else {
      platform::RemoveFile(path);
    }
  }
  platform::RemoveFolder(folder);
}

std::string Entry(const std::string& key, const std::string& value,
                  const char* protection = nullptr) {
  std::string text = "<Data key=\"" + key + "\"";
  if (protection != nullptr) text += std::string(" protected=\"") + protection + "\"";
  return text + ">" + value + "</Data>";
}

std::string Section(const std::string& tag, const std::string& code, const std::string& body) {
  return "<" + tag + " kymraCode=\"" + code + "\">" + body + "</" + tag + ">";
}

std::string Document(const std::string& body, const std::string& root = "Configuration") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<" + root + ">" + body + "</" + root +
         ">";
}

std::vector<std::string> Items(const PCFStringList* list) {
  std::vector<std::string> items;
  for (size_t i = 0; i < PCFStringListCount(list); ++i) {
    items.push_back(PCFStringListItem(list, i));
  }
  return items;
}

class PcfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[kPathBufferSize];
    ASSERT_NE(GetTempFolder(temp), nullptr);
    root_ = Join(temp, "pcf_test_" + std::to_string(platform::ProcessId()));
    RemoveTree(root_);
    ASSERT_EQ(MakeFolder(root_.c_str()), 0);
    // The POSIX port puts the machine's shared folders under this root; Windows ignores it.
    ASSERT_TRUE(platform::SetEnv("QemSystemRoot", root_.c_str()));
    char maker[kPathBufferSize];
    ASSERT_NE(GetMakerFolder(maker, kKnownFolderProgramFilesX86View), nullptr);
    pcfFolder_ = Join(maker, "PCF");
    CleanPcfFolder();
    ASSERT_EQ(PCFCreate(&pcf_), PCFSuccess);
    ASSERT_EQ(PCFStringListCreate(&list_), PCFSuccess);
  }

  void TearDown() override {
    PCFStringListDestroy(list_);
    if (pcf_ != nullptr) PCFDestroy(pcf_, 0);
    CleanPcfFolder();
    RemoveTree(root_);
  }

  // The files of the PCF folder that these tests made.
  std::vector<std::string> TestFiles() {
    std::vector<std::string> names;
    for (const std::string& name : FileNames(pcfFolder_)) {
      if (name.rfind(kTestCodePrefix, 0) == 0 || name.rfind(kFixtureCode, 0) == 0 ||
          name.rfind("~pcf-", 0) == 0) {
        names.push_back(name);
      }
    }
    return names;
  }

  void CleanPcfFolder() {
    for (const std::string& name : TestFiles()) platform::RemoveFile(Join(pcfFolder_, name));
  }

  // A file in the test's own folder, outside the PCF folder.
  std::string Outside(const std::string& name, const std::string& text) {
    const std::string path = Join(root_, name);
    EXPECT_TRUE(WriteBytes(path, text)) << path;
    return path;
  }

  // A payload's file in the PCF folder.
  std::string InPcfFolder(const std::string& name, const std::string& text) {
    MakeFolder(pcfFolder_.c_str());
    const std::string path = Join(pcfFolder_, name);
    EXPECT_TRUE(WriteBytes(path, text)) << path;
    return path;
  }

  std::string Fixture(const char* name) {
    std::string program;
    EXPECT_TRUE(platform::ProgramFile(&program));
    const size_t cut = program.find_last_of(std::string("/") + platform::kPathSeparator);
    const std::string path =
        Join(Join(program.substr(0, cut), "pcf_testdata"), name);
    const auto bytes = ReadBytes(path);
    EXPECT_TRUE(bytes.has_value()) << path;
    return bytes.value_or("");
  }

  // The value, or the code when there is none.
  std::string Get(PCF* pcf, const std::string& key, const std::string& code) {
    char buffer[512];
    const PCFStatus status =
        PCFGetValueForKeyInSubDomain(pcf, buffer, sizeof(buffer), key.c_str(), code.c_str());
    return status == PCFSuccess ? std::string(buffer) : "<" + std::to_string(status) + ">";
  }

  // A fresh PCF that loads `path`, for reading back what a save wrote.
  PCF* Reload(const std::string& path) {
    PCF* fresh = nullptr;
    EXPECT_EQ(PCFCreate(&fresh), PCFSuccess);
    EXPECT_EQ(PCFLoad(fresh, path.c_str(), 0), PCFSuccess) << path;
    return fresh;
  }

  std::string root_;
  std::string pcfFolder_;
  PCF* pcf_ = nullptr;
  PCFStringList* list_ = nullptr;
};

const char kMissing[] = "<10>";

TEST_F(PcfTest, LoadsFilesByTheirStructure) {
  const std::string c = kCodeA;
  struct Case {
    const char* name;
    std::string text;
    PCFStatus status;
    std::vector<std::pair<std::string, std::string>> reads;  // key -> value or kMissing
    bool flag;
  } const cases[] = {
      {"plain root", Document(Section("Payload", c, Entry("A", "1"))), PCFSuccess,
       {{"A", "1"}}, false},
      {"longer root name", Document(Section("Payload", c, Entry("A", "1")), "ConfigurationV2"),
       PCFSuccess, {{"A", "1"}}, false},
      {"root name shorter", Document(Section("Payload", c, ""), "Config"), PCFMalformed, {},
       false},
      {"root name in other case", Document(Section("Payload", c, ""), "configuration"),
       PCFMalformed, {}, false},
      {"no Payload", Document(Section("Other", c, Entry("A", "1"))), PCFMalformed, {}, false},
      {"two Payloads",
       Document(Section("Payload", c, Entry("A", "1")) + Section("Payload", kCodeB, "")),
       PCFMalformed, {}, false},
      {"not well-formed", "<Configuration><Payload kymraCode=\"x\">", PCFMalformed, {}, false},
      {"broken UTF-8", Document(Section("Payload", c, Entry("A", "\xC3"))), PCFMalformed, {},
       false},
      {"entry without key",
       Document(Section("Payload", c, "<Data>1</Data>")), PCFNoKey, {}, false},
      {"no code at all", Document("<Payload>" + Entry("A", "1") + "</Payload>"), PCFNoCode,
       {}, false},
      {"code by defaultKymraCode attribute",
       Document("<Payload defaultKymraCode=\"" + c + "\">" + Entry("A", "1") + "</Payload>"),
       PCFSuccess, {{"A", "1"}}, false},
      {"code by defaultKymraCode entry",
       Document("<Payload>" + Entry("defaultKymraCode", c) + Entry("A", "1") + "</Payload>"),
       PCFSuccess, {{"A", "1"}, {"defaultKymraCode", c}}, true},
      {"kymraCode wins over defaultKymraCode",
       Document("<Payload kymraCode=\"" + c + "\" defaultKymraCode=\"{other}\">" +
                Entry("A", "1") + "</Payload>"),
       PCFSuccess, {{"A", "1"}}, false},
      {"first live entry for a key wins",
       Document(Section("Payload", c,
                        Entry("A", "hidden", "0") + Entry("A", "first") + Entry("A", "second"))),
       PCFSuccess, {{"A", "first"}}, false},
      {"protected values",
       Document(Section("Payload", c,
                        Entry("p0", "v", "0") + Entry("p1", "v", "1") + Entry("pe", "v", "") +
                            Entry("none", "v") + Entry("p1x", "v", "1x") +
                            Entry("yes", "v", "yes"))),
       PCFSuccess,
       {{"p0", kMissing}, {"p1", "v"}, {"pe", kMissing}, {"none", "v"}, {"p1x", "v"},
        {"yes", kMissing}},
       false},
      {"value that is not text", Document(Section("Payload", c, "<Data key=\"A\"><b/>x</Data>")),
       PCFSuccess, {{"A", ""}}, false},
      // A section that cannot be read refuses its file, wherever it stands: taking the rest
      // would let the next save rewrite the file without it.
      {"failing Other section before a good one",
       Document(Section("Payload", c, Entry("A", "1")) + Section("Other", kCodeB, "<Data/>") +
                Section("Other", kCodeC, Entry("B", "2"))),
       PCFNoKey, {}, false},
  };
  for (const Case& test : cases) {
    PCF* pcf = nullptr;
    ASSERT_EQ(PCFCreate(&pcf), PCFSuccess);
    const std::string path = Outside("case.xml", test.text);
    EXPECT_EQ(PCFLoad(pcf, path.c_str(), 0), test.status) << test.name;
    for (const auto& read : test.reads) {
      EXPECT_EQ(Get(pcf, read.first, c), read.second) << test.name << ": " << read.first;
    }
    EXPECT_EQ(PCFIsFlagSet(pcf), test.flag ? PCFSuccess : PCFFlagNotSet) << test.name;
    PCFDestroy(pcf, 0);
  }
}

TEST_F(PcfTest, LoadRefusesMissingFilesAndBadPaths) {
  EXPECT_EQ(PCFLoad(pcf_, Join(root_, "absent.xml").c_str(), 0), PCFNotFound);
  EXPECT_EQ(PCFLoad(pcf_, "", 0), PCFInvalidArgument);
  EXPECT_EQ(PCFLoad(pcf_, nullptr, 0), PCFInvalidArgument);
  EXPECT_EQ(PCFLoad(pcf_, "bad\xFFpath", 0), PCFInvalidArgument);
  EXPECT_EQ(PCFLoad(nullptr, "x", 0), PCFInvalidArgument);
}

TEST_F(PcfTest, ValuesMustFitTheCallersBuffer) {
  ASSERT_EQ(PCFLoad(pcf_, Outside("a.xml", Document(Section("Payload", kCodeA,
                                                            Entry("A", "1")))).c_str(), 0),
            PCFSuccess);
  char buffer[4] = "old";
  EXPECT_EQ(PCFGetValueForKeyInSubDomain(pcf_, buffer, 2, "A", kCodeA.c_str()), PCFSuccess);
  EXPECT_STREQ(buffer, "1");
  std::strcpy(buffer, "old");
  EXPECT_EQ(PCFGetValueForKeyInSubDomain(pcf_, buffer, 1, "A", kCodeA.c_str()),
            PCFBufferTooSmall);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "old");
  EXPECT_EQ(PCFGetValueForKeyInSubDomain(pcf_, buffer, 4, "Z", kCodeA.c_str()), PCFNoKey);
  EXPECT_STREQ(buffer, "");

  struct Case {
    const char* name;
    char* buffer;
    size_t size;
    const char* key;
    const char* code;
  } const refused[] = {
      {"null buffer", nullptr, 4, "A", kCodeA.c_str()},
      {"size 0", buffer, 0, "A", kCodeA.c_str()},
      {"empty key", buffer, 4, "", kCodeA.c_str()},
      {"null code", buffer, 4, "A", nullptr},
      {"key not UTF-8", buffer, 4, "\xE0\x80\x80", kCodeA.c_str()},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(PCFGetValueForKeyInSubDomain(pcf_, c.buffer, c.size, c.key, c.code),
              PCFInvalidArgument)
        << c.name;
  }
}

TEST_F(PcfTest, EntryPointsRefuseMissingObjectsAndTexts) {
  EXPECT_EQ(PCFCreate(nullptr), PCFInvalidArgument);
  EXPECT_EQ(PCFDestroy(nullptr, 1), PCFInvalidArgument);
  EXPECT_EQ(PCFSave(nullptr), PCFInvalidArgument);
  EXPECT_EQ(PCFIsFlagSet(nullptr), PCFInvalidArgument);
  EXPECT_EQ(PCFGetSubDomains(pcf_, nullptr), PCFInvalidArgument);
  EXPECT_EQ(PCFGetSubDomains(nullptr, list_), PCFInvalidArgument);
  EXPECT_EQ(PCFGetKeysInSubDomain(pcf_, list_, ""), PCFInvalidArgument);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "", "k", kCodeA.c_str()), PCFInvalidArgument);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "k\xC0", kCodeA.c_str()),
            PCFInvalidArgument);
  EXPECT_EQ(PCFRemoveKeyInSubDomain(pcf_, nullptr, kCodeA.c_str()), PCFInvalidArgument);
  EXPECT_EQ(PCFRemoveAllKeysInSubDomain(pcf_, "\xFF"), PCFInvalidArgument);
  EXPECT_EQ(PCFStringListCreate(nullptr), PCFInvalidArgument);
  EXPECT_EQ(PCFStringListItem(list_, 0), nullptr);
  EXPECT_EQ(PCFIsFlagSet(pcf_), PCFFlagNotSet);
}

TEST_F(PcfTest, UnknownPayloads) {
  // The list is emptied even when the payload cannot be found.
  ASSERT_EQ(PCFLoad(pcf_, Outside("a.xml", Document(Section("Payload", kCodeA,
                                                            Entry("A", "1")))).c_str(), 0),
            PCFSuccess);
  ASSERT_EQ(PCFGetSubDomains(pcf_, list_), PCFSuccess);
  ASSERT_EQ(Items(list_).size(), 1u);
  EXPECT_EQ(PCFGetKeysInSubDomain(pcf_, list_, kCodeB.c_str()), PCFSuccess);
  EXPECT_TRUE(Items(list_).empty());

  EXPECT_EQ(Get(pcf_, "A", kCodeB), "<5>");
  EXPECT_EQ(PCFRemoveKeyInSubDomain(pcf_, "A", kCodeB.c_str()), PCFNoKey);
  EXPECT_EQ(PCFRemoveAllKeysInSubDomain(pcf_, kCodeB.c_str()), PCFNoKey);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "A", kCodeB.c_str()), PCFNotFound);
  // A known payload and a missing key is not a failure.
  EXPECT_EQ(PCFRemoveKeyInSubDomain(pcf_, "Z", kCodeA.c_str()), PCFSuccess);
}

// A code counts as known when it is part of a loaded file's code, yet no element holds it: a
// write must not be reported as done when the value went nowhere.
TEST_F(PcfTest, SetAnswersNoKeyWhenNoElementCanHoldTheValue) {
  ASSERT_EQ(PCFLoad(pcf_, Outside("a.xml", Document(Section("Payload", kCodeA,
                                                            Entry("A", "1")))).c_str(), 0),
            PCFSuccess);
  const std::string part = kCodeA.substr(1, 8);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "k", part.c_str()), PCFNoKey);
  EXPECT_EQ(Get(pcf_, "k", part), kMissing);
}

TEST_F(PcfTest, OverlayUpdatesTheFirstElementHoldingEachCode) {
  ASSERT_EQ(PCFLoad(pcf_, Outside("base.xml", Document(Section(
                                                  "Payload", kCodeA,
                                                  Entry("A", "1") + Entry("B", "2")))).c_str(),
                    0),
            PCFSuccess);
  const std::string overlay = Outside(
      "overlay.xml", Document(Section("Payload", kCodeC, Entry("X", "1")) +
                              Section("Other", kCodeA, Entry("A", "new") + Entry("N", "3"))));
  ASSERT_EQ(PCFLoad(pcf_, overlay.c_str(), 0x100 | 1), PCFSuccess);
  EXPECT_EQ(Get(pcf_, "A", kCodeA), "new");
  EXPECT_EQ(Get(pcf_, "B", kCodeA), "2");
  EXPECT_EQ(Get(pcf_, "N", kCodeA), "3");
  ASSERT_EQ(PCFGetSubDomains(pcf_, list_), PCFSuccess);
  EXPECT_EQ(Items(list_), std::vector<std::string>{kCodeA});  // C had no element to go to
  EXPECT_EQ(Get(pcf_, "X", kCodeC), kMissing);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "X", kCodeC.c_str()), PCFNoKey);
  // Only the low byte chooses overlay.
  ASSERT_EQ(PCFLoad(pcf_, overlay.c_str(), 0x100), PCFSuccess);
  ASSERT_EQ(PCFGetSubDomains(pcf_, list_), PCFSuccess);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{kCodeA, kCodeA, kCodeC}));
}

TEST_F(PcfTest, TwoFilesHoldingTheSamePayload) {
  const std::string first =
      Outside("1.xml", Document(Section("Payload", kCodeA,
                                        Entry("A", "first") + Entry("PayloadName", "one"))));
  const std::string second = Outside(
      "2.xml", Document(Section("Payload", kCodeA, Entry("A", "second") + Entry("B", "only") +
                                                   Entry("PayloadName", "one"))));
  ASSERT_EQ(PCFLoad(pcf_, first.c_str(), 0), PCFSuccess);
  ASSERT_EQ(PCFLoad(pcf_, second.c_str(), 0), PCFSuccess);
  EXPECT_EQ(Get(pcf_, "A", kCodeA), "first");
  EXPECT_EQ(Get(pcf_, "B", kCodeA), "only");
  ASSERT_EQ(PCFGetKeysInSubDomain(pcf_, list_, kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"A", "PayloadName"}));  // first file's
  ASSERT_EQ(PCFGetSubDomains(pcf_, list_), PCFSuccess);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{kCodeA, kCodeA}));

  // The write goes to the first file's element; the save writes the payload's file once,
  // from that element, never over it from the second (older) one.
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "changed", "A", kCodeA.c_str()), PCFSuccess);
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  PCF* saved = Reload(Join(pcfFolder_, kCodeA + ".one.xml"));
  EXPECT_EQ(Get(saved, "A", kCodeA), "changed");
  EXPECT_EQ(Get(saved, "B", kCodeA), kMissing);
  PCFDestroy(saved, 0);
}

TEST_F(PcfTest, ChangesStayInMemoryUntilSavedAndThenReadBack) {
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml",
      Document(Section("Payload", kCodeA, Entry("keep", "1") + Entry("drop", "2") +
                                              Entry("hidden", "x", "0"))));
  const std::string before = ReadBytes(path).value();

  // The payload is not loaded: the first operation that names it loads it from the folder.
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "3", "new", kCodeA.c_str()), PCFSuccess);
  ASSERT_EQ(PCFRemoveKeyInSubDomain(pcf_, "drop", kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Get(pcf_, "new", kCodeA), "3");
  EXPECT_EQ(ReadBytes(path).value(), before);

  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  EXPECT_EQ(TestFiles(), std::vector<std::string>{kCodeA + ".a.xml"});
  PCF* saved = Reload(path);
  ASSERT_EQ(PCFGetKeysInSubDomain(saved, list_, kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"keep", "new"}));  // "hidden" is gone
  PCFDestroy(saved, 0);

  // Emptied, the payload's file is deleted; the payload stays known, without keys.
  ASSERT_EQ(PCFRemoveAllKeysInSubDomain(pcf_, kCodeA.c_str()), PCFSuccess);
  ASSERT_EQ(PCFGetKeysInSubDomain(pcf_, list_, kCodeA.c_str()), PCFSuccess);
  EXPECT_TRUE(Items(list_).empty());
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  EXPECT_FALSE(FileExists(path.c_str()));
}

TEST_F(PcfTest, SavedFixtureMatchesTheExpectedFileByteForByte) {
  const std::string input = Fixture("payload_fixture.xml");
  const std::string expected = Fixture("payload_fixture_saved.xml");
  ASSERT_FALSE(expected.empty());

  // Loaded on demand from the PCF folder, it is written back to the same file.
  const std::string path = InPcfFolder(kFixtureCode + ".Viewer.xml", input);
  EXPECT_EQ(Get(pcf_, "Version", kFixtureCode), "2.1");
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  EXPECT_EQ(ReadBytes(path).value_or(""), expected);

  // Loaded from elsewhere, it is written to the PCF folder under "<code>.<PayloadName>.xml".
  platform::RemoveFile(path);
  PCF* pcf = nullptr;
  ASSERT_EQ(PCFCreate(&pcf), PCFSuccess);
  ASSERT_EQ(PCFLoad(pcf, Outside("master.xml", input).c_str(), 0), PCFSuccess);
  EXPECT_EQ(PCFDestroy(pcf, 1), PCFSuccess);
  EXPECT_EQ(ReadBytes(path).value_or(""), expected);
  EXPECT_EQ(TestFiles(), std::vector<std::string>{kFixtureCode + ".Viewer.xml"});
}

TEST_F(PcfTest, SecondCopyGoesToQemConfigPath) {
  const std::string copy = Join(root_, "copy.xml");
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml", Document(Section("Payload", kCodeA, Entry("QemConfigPath", copy))));
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "1", "k", kCodeA.c_str()), PCFSuccess);
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  const auto written = ReadBytes(path);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(ReadBytes(copy), written);

  // A copy that cannot be written is a failed save, and the first failure is the answer.
  const std::string unwritable = Join(Join(root_, "no such folder"), "copy.xml");
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, unwritable.c_str(), "QemConfigPath",
                                         kCodeA.c_str()),
            PCFSuccess);
  const std::string later = InPcfFolder(
      kCodeB + ".b.xml", Document(Section("Payload", kCodeB, Entry("k", "1"))));
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "2", "k", kCodeB.c_str()), PCFSuccess);
  EXPECT_EQ(PCFSave(pcf_), PCFCannotWrite);
  PCF* saved = Reload(later);
  EXPECT_EQ(Get(saved, "k", kCodeB), "2");  // the save went on after the failure
  PCFDestroy(saved, 0);
  EXPECT_EQ(FileNames(root_), std::vector<std::string>{"copy.xml"});
}

TEST_F(PcfTest, FirstFailureIsTheAnswerEvenWhenALaterWriteSucceeds) {
  // Loaded from outside without a "PayloadName" entry, the first payload has no file name.
  ASSERT_EQ(PCFLoad(pcf_, Outside("a.xml", Document(Section("Payload", kCodeA,
                                                            Entry("A", "1")))).c_str(), 0),
            PCFSuccess);
  const std::string good = InPcfFolder(
      kCodeB + ".b.xml", Document(Section("Payload", kCodeB, Entry("B", "1"))));
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "2", "B", kCodeB.c_str()), PCFSuccess);
  EXPECT_EQ(PCFSave(pcf_), PCFCannotWrite);
  PCF* saved = Reload(good);
  EXPECT_EQ(Get(saved, "B", kCodeB), "2");
  PCFDestroy(saved, 0);
}

TEST_F(PcfTest, AFailedWriteLeavesTheFileAsItWas) {
  const std::string text = Document(Section("Payload", kCodeA, Entry("A", "1")));
  const std::string path = InPcfFolder(kCodeA + ".a.xml", text);
  // A folder standing where the save puts its temporary file makes the write fail.
  const std::string blocker =
      Join(pcfFolder_, "~pcf-" + std::to_string(platform::ProcessId()) + ".tmp");
  ASSERT_EQ(MakeFolder(blocker.c_str()), 0);
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "2", "A", kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(PCFSave(pcf_), PCFCannotWrite);
  EXPECT_EQ(ReadBytes(path).value_or(""), text);
  ASSERT_EQ(platform::RemoveFolder(blocker), 0);
  EXPECT_EQ(PCFSave(pcf_), PCFSuccess);
  EXPECT_NE(ReadBytes(path).value_or(""), text);
}

// A file carrying an Other section for a payload whose file sorts first must not be saved over
// that payload's file, and emptying its own payload must not delete the others' entries.
TEST_F(PcfTest, EachElementIsSavedToItsOwnFile) {
  const std::string fileA = InPcfFolder(
      kCodeA + ".a.xml", Document(Section("Payload", kCodeA, Entry("A", "own"))));
  const std::string fileB = InPcfFolder(
      kCodeB + ".b.xml", Document(Section("Payload", kCodeB, Entry("B", "own")) +
                                  Section("Other", kCodeA, Entry("A", "carried"))));
  ASSERT_EQ(PCFLoad(pcf_, fileB.c_str(), 0), PCFSuccess);
  ASSERT_EQ(PCFLoad(pcf_, fileA.c_str(), 0), PCFSuccess);
  EXPECT_EQ(Get(pcf_, "A", kCodeA), "carried");  // B's file was loaded first

  ASSERT_EQ(PCFRemoveAllKeysInSubDomain(pcf_, kCodeB.c_str()), PCFSuccess);
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);

  PCF* savedA = Reload(fileA);
  EXPECT_EQ(Get(savedA, "A", kCodeA), "own");
  ASSERT_EQ(PCFGetSubDomains(savedA, list_), PCFSuccess);
  EXPECT_EQ(Items(list_), std::vector<std::string>{kCodeA});
  PCFDestroy(savedA, 0);

  PCF* savedB = Reload(fileB);
  EXPECT_EQ(Get(savedB, "A", kCodeA), "carried");
  ASSERT_EQ(PCFGetKeysInSubDomain(savedB, list_, kCodeB.c_str()), PCFSuccess);
  EXPECT_TRUE(Items(list_).empty());
  PCFDestroy(savedB, 0);
}

TEST_F(PcfTest, KeysAndCodesTooLongForATagLineAreNeverHalfWritten) {
  const std::string longKey(300, 'k');
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml", Document(Section("Payload", kCodeA, Entry("A", "1"))));
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", longKey.c_str(), kCodeA.c_str()),
            PCFInvalidArgument);
  EXPECT_EQ(Get(pcf_, longKey, kCodeA), kMissing);

  // A file that already holds such a key is read, but a save leaves it as it was.
  const std::string text =
      Document(Section("Payload", kCodeB, Entry("B", "1") + Entry(longKey, "v")));
  const std::string other = InPcfFolder(kCodeB + ".b.xml", text);
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "2", "B", kCodeB.c_str()), PCFSuccess);
  EXPECT_EQ(Get(pcf_, longKey, kCodeB), "v");
  EXPECT_EQ(PCFSave(pcf_), PCFCannotWrite);
  EXPECT_EQ(ReadBytes(other).value_or(""), text);
  PCF* saved = Reload(path);  // the other file was still written
  EXPECT_EQ(Get(saved, "A", kCodeA), "1");
  PCFDestroy(saved, 0);
}

// A file may hold keys and codes that no caller can pass as a usable text: an empty key or
// code, or one that is not valid UTF-8 once a character reference is decoded. What loading
// accepted and the listings hand out must be readable and removable all the same; writes keep
// refusing such texts.
TEST_F(PcfTest, KeysAndCodesOnlyAFileCanHoldAreReadAndRemoved) {
  const std::string surrogate = "s\xED\xA0\x80";  // what "s&#xD800;" decodes to
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml",
      Document(Section("Payload", kCodeA,
                       Entry("", "empty") + Entry("Payl\x17oadName", "control") +
                           Entry("s&#xD800;", "lone surrogate") + Entry("A", "1")) +
               Section("Other", "", Entry("B", "no code"))));
  ASSERT_EQ(PCFLoad(pcf_, path.c_str(), 0), PCFSuccess);

  ASSERT_EQ(PCFGetSubDomains(pcf_, list_), PCFSuccess);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"", kCodeA}));
  ASSERT_EQ(PCFGetKeysInSubDomain(pcf_, list_, kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Items(list_),
            (std::vector<std::string>{"", "A", "Payl\x17oadName", surrogate}));
  ASSERT_EQ(PCFGetKeysInSubDomain(pcf_, list_, ""), PCFSuccess);
  EXPECT_EQ(Items(list_), std::vector<std::string>{"B"});

  EXPECT_EQ(Get(pcf_, "", kCodeA), "empty");
  EXPECT_EQ(Get(pcf_, "Payl\x17oadName", kCodeA), "control");
  EXPECT_EQ(Get(pcf_, surrogate, kCodeA), "lone surrogate");
  EXPECT_EQ(Get(pcf_, "B", ""), "no code");

  // Texts that nothing loaded holds are still refused as arguments.
  EXPECT_EQ(Get(pcf_, "", kCodeB), "<4>");
  EXPECT_EQ(Get(pcf_, "B", "\xFF"), "<4>");
  EXPECT_EQ(Get(pcf_, "\xED\xA0\x80", kCodeA), "<4>");
  EXPECT_EQ(PCFRemoveKeyInSubDomain(pcf_, "", kCodeB.c_str()), PCFInvalidArgument);
  EXPECT_EQ(PCFRemoveAllKeysInSubDomain(pcf_, "\xFF"), PCFInvalidArgument);
  // Writes never take them.
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "", kCodeA.c_str()), PCFInvalidArgument);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", surrogate.c_str(), kCodeA.c_str()),
            PCFInvalidArgument);
  EXPECT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "v", "B", ""), PCFInvalidArgument);
  EXPECT_EQ(Get(pcf_, "", kCodeA), "empty");

  // A save writes what it can write back exactly; a key that is not valid UTF-8 cannot be, so
  // the file stays as it was until that key is removed.
  const std::string before = ReadBytes(path).value_or("");
  EXPECT_EQ(PCFSave(pcf_), PCFCannotRead);
  EXPECT_EQ(ReadBytes(path).value_or(""), before);
  ASSERT_EQ(PCFRemoveKeyInSubDomain(pcf_, surrogate.c_str(), kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Get(pcf_, surrogate, kCodeA), "<4>");
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);

  PCF* saved = Reload(path);
  EXPECT_EQ(Get(saved, "", kCodeA), "empty");
  EXPECT_EQ(Get(saved, "Payl\x17oadName", kCodeA), "control");
  EXPECT_EQ(Get(saved, "A", kCodeA), "1");
  EXPECT_EQ(Get(saved, "B", ""), "no code");
  ASSERT_EQ(PCFRemoveKeyInSubDomain(saved, "", kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(Get(saved, "", kCodeA), "<4>");
  ASSERT_EQ(PCFRemoveAllKeysInSubDomain(saved, ""), PCFSuccess);
  ASSERT_EQ(PCFGetKeysInSubDomain(saved, list_, ""), PCFSuccess);
  EXPECT_TRUE(Items(list_).empty());
  EXPECT_EQ(Get(saved, "Payl\x17oadName", kCodeA), "control");
  PCFDestroy(saved, 0);
}

// "&#;" is a character reference that the parser reads as a NUL. A value holding one loads
// (callers see it up to the NUL), but no file can hold it: written out, the NUL would leave a
// file that never loads again. A save leaves the file as it was until the value is replaced.
TEST_F(PcfTest, ValuesHoldingANulAreNeverWrittenBack) {
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml",
      Document(Section("Payload", kCodeA, Entry("A", "x&#;y") + Entry("B", "2"))));
  ASSERT_EQ(PCFLoad(pcf_, path.c_str(), 0), PCFSuccess);
  EXPECT_EQ(Get(pcf_, "A", kCodeA), "x");
  const std::string before = ReadBytes(path).value_or("");
  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "3", "B", kCodeA.c_str()), PCFSuccess);
  EXPECT_EQ(PCFSave(pcf_), PCFCannotRead);
  EXPECT_EQ(ReadBytes(path).value_or(""), before);

  ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, "x", "A", kCodeA.c_str()), PCFSuccess);
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  PCF* saved = Reload(path);
  ASSERT_NE(saved, nullptr);
  EXPECT_EQ(Get(saved, "A", kCodeA), "x");
  EXPECT_EQ(Get(saved, "B", kCodeA), "3");
  PCFDestroy(saved, 0);
}

TEST_F(PcfTest, SpecialCharactersAndNonAsciiSurviveSaveAndReload) {
  const std::string path = InPcfFolder(
      kCodeA + ".a.xml", Document(Section("Payload", kCodeA, Entry("A", "1"))));
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"quote\"key", "say \"hi\""},
      {"<angle>", "a < b > c"},
      {"amp&key", "R&D &amp; &#x41;"},
      {"cdata", "]]><![CDATA[x"},
      {"blank", "   "},
      {"tab and lines", "\tline1\r\nline2\n"},
      {"padded", "  both ends  "},
      {"caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9"},
      {"key with\r\nbreak", "v"},
  };
  for (const auto& entry : entries) {
    ASSERT_EQ(PCFSetValueForKeyInSubDomain(pcf_, entry.second.c_str(), entry.first.c_str(),
                                           kCodeA.c_str()),
              PCFSuccess)
        << entry.first;
  }
  ASSERT_EQ(PCFSave(pcf_), PCFSuccess);
  PCF* saved = Reload(path);
  for (const auto& entry : entries) {
    EXPECT_EQ(Get(saved, entry.first, kCodeA), entry.second) << entry.first;
  }
  PCFDestroy(saved, 0);
}

}  // namespace
