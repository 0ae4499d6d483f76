#include "util/paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

const std::string kSep = platform::kPathSeparator;

// A scratch folder under the temporary folder, and a machine root pointed at it.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[kPathBufferSize];
    ASSERT_NE(GetTempFolder(temp), nullptr);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::string(temp) + kSep + "qem-util-" + info->name() + "-" +
            std::to_string(platform::ProcessId());
    RemoveTree(root_);
    ASSERT_EQ(platform::MakeFolder(root_), 0);
    had_root_ = platform::GetEnv("QemSystemRoot", &old_root_);
    platform::SetEnv("QemSystemRoot", root_.c_str());
  }
  void TearDown() override {
    platform::SetEnv("QemSystemRoot", had_root_ ? old_root_.c_str() : "");
    RemoveTree(root_);
  }
  static void RemoveTree(const std::string& path) {
    std::vector<platform::FolderEntry> entries;
    bool start_failed = false;
    platform::ListFolder(path, &entries, &start_failed);
    for (const auto& e : entries) {
      if (e.name == "." || e.name == "..") continue;
      const std::string child = path + kSep + e.name;
      if (e.is_folder) RemoveTree(child); else platform::RemoveFile(child);
    }
    platform::RemoveFolder(path);
  }
  std::string root_;
  std::string old_root_;
  bool had_root_ = false;
};

TEST(ParentFolderTest, DropsTheNameAndOneSeparator) {
  const std::string a = kSep + "a";
  EXPECT_EQ(std::string(GetParentFolder((a + kSep + "b.txt").c_str())), a);
  EXPECT_EQ(std::string(GetParentFolder("")), ".");
  EXPECT_EQ(std::string(GetParentFolder(nullptr)), ".");
  // A folder part longer than the splitter's limit is refused rather than cut or overflowed.
  EXPECT_EQ(std::string(GetParentFolder((kSep + std::string(400, 'x') + kSep + "f").c_str())),
            ".");
}

TEST(TempFolderTest, HasNoTrailingSeparator) {
  char buffer[kPathBufferSize];
  ASSERT_NE(GetTempFolder(buffer), nullptr);
  const std::string folder = buffer;
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), kSep[0]);
  EXPECT_TRUE(FileExists(buffer));
}

TEST(ProgramFolderTest, HoldsTheTestProgram) {
  char buffer[kPathBufferSize];
  ASSERT_NE(GetProgramFolder(buffer), nullptr);
  EXPECT_TRUE(FileExists(buffer));
}

TEST_F(PathsTest, KnownFolderKindsAndTheX86Fallback) {
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Wine's shell folders live in its prefix, not under QemSystemRoot";
  char buffer[kPathBufferSize];
  ASSERT_NE(GetKnownFolder(buffer, kKnownFolderProgramFiles), nullptr);
  const std::string common = buffer;
  ASSERT_NE(GetKnownFolder(buffer, kKnownFolderProgramFilesAlias), nullptr);
  EXPECT_EQ(std::string(buffer), common);
  ASSERT_NE(GetKnownFolder(buffer, kKnownFolderAppData), nullptr);
  EXPECT_NE(std::string(buffer), common);
  ASSERT_NE(GetKnownFolder(buffer, kKnownFolderProgramFilesX86View), nullptr);
  EXPECT_NE(std::string(buffer), common);

  // A machine whose 32-bit view cannot exist: the program files folder stands in for it.
  const std::string x86 = std::string(buffer);
  RemoveTree(x86);
  FILE* blocker = std::fopen(x86.c_str(), "w");
  ASSERT_NE(blocker, nullptr);
  std::fclose(blocker);
  ASSERT_NE(GetMakerFolder(buffer, kKnownFolderProgramFilesX86View), nullptr);
  EXPECT_EQ(std::string(buffer), common + kSep + "Kymra");
  EXPECT_TRUE(FileExists(buffer));
}

TEST_F(PathsTest, AccessTestsOnFilesAndFolders) {
  const std::string file = root_ + kSep + "f.txt";
  EXPECT_FALSE(FileExists(file.c_str()));
  FILE* f = OpenFileShared(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("x", f);
  std::fclose(f);
  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_TRUE(FileIsReadable(file.c_str()));
  EXPECT_TRUE(FileIsWritable(file.c_str()));
  EXPECT_TRUE(FileIsWritable(root_.c_str()));  // a folder counts as writable

  platform::FileFacts facts;
  ASSERT_EQ(StatPath(file.c_str(), &facts), 0);
  EXPECT_TRUE(facts.is_regular);
  EXPECT_EQ(facts.size, 1u);
  EXPECT_EQ(facts.link_count, 1u);
  EXPECT_EQ(StatPath((root_ + kSep + "missing").c_str(), &facts), -1);

  EXPECT_EQ(RemoveFile(file.c_str()), 0);
  EXPECT_EQ(RemoveFile(file.c_str()), -1);
  EXPECT_EQ(MakeFolder((root_ + kSep + "sub").c_str()), 0);
  EXPECT_EQ(MakeFolder((root_ + kSep + "sub").c_str()), -1);
}

}  // namespace
