// The platform seam's test: one file for both backends. Where Windows and POSIX legitimately
// differ, the expectation is stated per platform from the seam's own behaviour (its path
// separator), never by conditional compilation.
//
// The program has its own main: run as
//   platform_test --lock-contender <file> shared|exclusive <offset> <length> <marker>
// it is the second process of the lock tests.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform_test_probes.h"

namespace platform_test {
FolderAccessReader g_folder_access_reader = nullptr;
}  // namespace platform_test

namespace {

namespace fs = std::filesystem;
using platform::File;
using platform::FileDisposition;
using platform::FileFacts;
using platform::FileOpenOptions;

const std::string kSep = platform::kPathSeparator;
// Windows' rules: drive letters, CR LF from text-mode streams, a read-only attribute that binds
// every user.
const bool kWindowsPaths = kSep == "\\";

// ---------------------------------------------------------------------------------------------
// Helpers.

std::string Quoted(const std::string& text);

std::string ReadAll(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

FileOpenOptions Options(bool write, FileDisposition disposition, bool refuse_links = false) {
  FileOpenOptions options;
  options.write = write;
  options.disposition = disposition;
  options.refuse_links = refuse_links;
  return options;
}

bool WaitForPath(const std::string& path, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!platform::PathExists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Each test works in its own folder under the system's temporary folder, which Wine shares
// between all the tests of a prefix: the name carries the process id and the test name.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string temp;
    ASSERT_TRUE(platform::TempFolder(&temp));
    if (!EndsWith(temp, kSep)) temp += kSep;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    folder_ = temp + "qem_platform_test_" + std::to_string(platform::ProcessId()) + "_" + name;
    std::error_code ignored;
    fs::remove_all(fs::u8path(folder_), ignored);
    ASSERT_EQ(0, platform::MakeFolder(folder_)) << folder_;
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(fs::u8path(folder_), ignored);
  }

  std::string PathOf(const std::string& name) const { return folder_ + kSep + name; }

  std::string folder_;
};

// ---------------------------------------------------------------------------------------------
// Text conversion.

struct TextCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

TEST(TextTest, RoundTripsValidText) {
  const TextCase cases[] = {
      {"empty", "", u""},
      {"ascii", "plain text", u"plain text"},
      {"two_byte", "\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
      {"three_byte", "\xE2\x82\xAC 5", u"\u20AC 5"},
      {"surrogate_pair", "\xF0\x9D\x84\x9E", u"\U0001D11E"},
      {"embedded_nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.utf16, platform::Utf8ToUtf16(c.utf8));
    EXPECT_EQ(c.utf8, platform::Utf16ToUtf8(c.utf16));
  }
}

TEST(TextTest, ReplacesInvalidUtf8) {
  const TextCase cases[] = {
      {"stray_continuation", "a\x80z", u"a\uFFFDz"},
      {"invalid_byte", "\xFF", u"\uFFFD"},
      {"cut_sequence", "\xC3z", u"\uFFFDz"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.utf16, platform::Utf8ToUtf16(c.utf8));
  }
}

TEST(TextTest, ReplacesLoneSurrogates) {
  const char16_t high = 0xD800;
  const char16_t low = 0xDC00;
  const TextCase cases[] = {
      {"lone_high", "a\xEF\xBF\xBDz", std::u16string{u'a', high, u'z'}},
      {"lone_low_at_end", "\xEF\xBF\xBD", std::u16string{low}},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.utf8, platform::Utf16ToUtf8(c.utf16));
  }
}

// ---------------------------------------------------------------------------------------------
// Paths.

TEST(PathTest, SplitPath) {
  struct SplitCase {
    const char* name;
    std::string path;
    bool splits;
    std::string drive;
    std::string folder;
  };
  const std::string e_acute = "\xC3\xA9";  // two bytes, one UTF-16 unit
  std::string wide_folder;
  for (int i = 0; i < 253; ++i) wide_folder += e_acute;
  const SplitCase cases[] = {
      {"file_in_folders", kSep + "a" + kSep + "b" + kSep + "c.txt", true, "",
       kSep + "a" + kSep + "b" + kSep},
      {"bare_name", "c.txt", true, "", ""},
      {"folder_only", kSep + "a" + kSep, true, "", kSep + "a" + kSep},
      // Only Windows paths have a drive part.
      {"drive", "C:" + kSep + "x" + kSep + "y.txt", true, kWindowsPaths ? "C:" : "",
       kWindowsPaths ? kSep + "x" + kSep : "C:" + kSep + "x" + kSep},
      // The folder part has room for 255 UTF-16 units and its terminator.
      {"longest_folder", kSep + std::string(253, 'f') + kSep + "x.txt", true, "",
       kSep + std::string(253, 'f') + kSep},
      {"folder_too_long", kSep + std::string(254, 'f') + kSep + "x.txt", false, "", ""},
      {"limit_counts_utf16_units", kSep + wide_folder + kSep + "x.txt", true, "",
       kSep + wide_folder + kSep},
      {"utf16_units_too_many", kSep + wide_folder + e_acute + kSep + "x.txt", false, "", ""},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string drive = "untouched";
    std::string folder = "untouched";
    ASSERT_EQ(c.splits, platform::SplitPath(c.path, &drive, &folder));
    EXPECT_EQ(c.splits ? c.drive : "untouched", drive);
    EXPECT_EQ(c.splits ? c.folder : "untouched", folder);
  }
}

TEST_F(PlatformTest, FullPath) {
  std::string current;
  ASSERT_TRUE(platform::CurrentFolder(&current));
  if (!EndsWith(current, kSep)) current += kSep;
  const struct {
    const char* name;
    std::string path;
    std::string absolute;
  } cases[] = {
      {"relative", "x.txt", current + "x.txt"},
      {"relative_up", "a" + kSep + ".." + kSep + "x.txt", current + "x.txt"},
      {"absolute_with_dots", folder_ + kSep + "a" + kSep + "." + kSep + ".." + kSep + "b",
       folder_ + kSep + "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string absolute;
    ASSERT_TRUE(platform::FullPath(c.path, &absolute));
    EXPECT_EQ(c.absolute, absolute);
  }
}

// ---------------------------------------------------------------------------------------------
// Process facts and environment.

TEST(ProcessTest, ReportsTheProgramAndItsFolders) {
  std::string program;
  ASSERT_TRUE(platform::ProgramFile(&program));
  FileFacts facts;
  ASSERT_EQ(0, platform::StatPath(program, &facts)) << program;
  EXPECT_TRUE(facts.is_regular);

  std::string current;
  ASSERT_TRUE(platform::CurrentFolder(&current));
  ASSERT_EQ(0, platform::StatPath(current, &facts)) << current;
  EXPECT_TRUE(facts.is_folder);

  std::string temp;
  ASSERT_TRUE(platform::TempFolder(&temp));
  ASSERT_EQ(0, platform::StatPath(temp, &facts)) << temp;
  EXPECT_TRUE(facts.is_folder);
  EXPECT_TRUE(platform::PathIsWritable(temp));

  platform::DebugOutput("platform_test: a line for the debugger channel\n");
}

TEST(ProcessTest, EnvironmentVariables) {
  const std::string name = "QEM_PLATFORM_TEST_" + std::to_string(platform::ProcessId());
  std::string value = "untouched";
  EXPECT_FALSE(platform::GetEnv(name.c_str(), &value));
  EXPECT_EQ("untouched", value);

  const std::string values[] = {"first value", "", std::string(1000, 'v'), "short"};
  for (const std::string& set : values) {
    SCOPED_TRACE("value of " + std::to_string(set.size()) + " bytes");
    ASSERT_TRUE(platform::SetEnv(name.c_str(), set.c_str()));
    ASSERT_TRUE(platform::GetEnv(name.c_str(), &value));
    EXPECT_EQ(set, value);
  }
}

TEST(ProcessTest, TestHooksFixTheClockAndTheProcessId) {
  const uint32_t real_id = platform::ProcessId();
  const uint32_t fixed_id = real_id + 1;
  platform::testing::SetProcessId(&fixed_id);
  EXPECT_EQ(fixed_id, platform::ProcessId());
  platform::testing::SetProcessId(nullptr);
  EXPECT_EQ(real_id, platform::ProcessId());

  std::tm fixed{};
  fixed.tm_year = 99;
  fixed.tm_mon = 11;
  fixed.tm_mday = 31;
  fixed.tm_hour = 23;
  fixed.tm_min = 59;
  fixed.tm_sec = 58;
  platform::testing::SetLocalTime(&fixed);
  const std::tm now = platform::LocalTimeNow();
  EXPECT_EQ(99, now.tm_year);
  EXPECT_EQ(11, now.tm_mon);
  EXPECT_EQ(31, now.tm_mday);
  EXPECT_EQ(58, now.tm_sec);
  platform::testing::SetLocalTime(nullptr);
  const std::tm real = platform::LocalTimeNow();
  EXPECT_GE(real.tm_year, 124);  // 2024 or later
  EXPECT_GE(real.tm_mday, 1);
}

TEST(ProcessTest, RecursiveMutexIsReentrantAndExcludesOthers) {
  platform::RecursiveMutex mutex;
  mutex.Lock();
  mutex.Lock();
  auto other = std::async(std::launch::async, [&mutex] {
    mutex.Lock();
    mutex.Unlock();
  });
  mutex.Unlock();
  EXPECT_EQ(std::future_status::timeout, other.wait_for(std::chrono::milliseconds(100)));
  mutex.Unlock();
  EXPECT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(30)));
}

// ---------------------------------------------------------------------------------------------
// Shell folders.

TEST_F(PlatformTest, ShellFolders) {
  // POSIX keeps its shell folders under this root; Windows asks the shell and ignores it.
  ASSERT_TRUE(platform::SetEnv("QemSystemRoot", folder_.c_str()));
  const struct {
    const char* name;
    platform::ShellFolder folder;
    std::string ends_with;
  } cases[] = {
      {"common_app_data", platform::kCommonAppData, kSep + "ProgramData"},
      {"common_program_files", platform::kCommonProgramFiles,
       kSep + "Program Files" + kSep + "Common Files"},
      {"common_program_files_x86", platform::kCommonProgramFilesX86,
       kSep + "Program Files (x86)" + kSep + "Common Files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path;
    ASSERT_TRUE(platform::ShellFolderPath(c.folder, &path));
    EXPECT_TRUE(EndsWith(path, c.ends_with)) << path;
    FileFacts facts;
    ASSERT_EQ(0, platform::StatPath(path, &facts)) << path;
    EXPECT_TRUE(facts.is_folder);
    std::string by_location;
    ASSERT_TRUE(platform::ShellFolderPathByLocation(c.folder, &by_location));
    EXPECT_EQ(path, by_location);
  }
}

// ---------------------------------------------------------------------------------------------
// Run-time file operations.

TEST_F(PlatformTest, StatusAndAccess) {
  const std::string file = PathOf("file.txt");
  WriteAll(file, "12345");
  const struct {
    const char* name;
    std::string path;
    bool is_folder;
    uint64_t size;  // files only
  } cases[] = {
      {"file", file, false, 5},
      {"folder", folder_, true, 0},
      {"folder_with_separator", folder_ + kSep, true, 0},
  };
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FileFacts facts;
    ASSERT_EQ(0, platform::StatPath(c.path, &facts));
    EXPECT_EQ(c.is_folder, facts.is_folder);
    EXPECT_EQ(!c.is_folder, facts.is_regular);
    EXPECT_FALSE(facts.is_link);
    EXPECT_GE(facts.link_count, 1u);
    if (!c.is_folder) {
      EXPECT_EQ(c.size, facts.size);
    }
    EXPECT_LT(std::llabs(facts.modified - now), 3600);
    EXPECT_TRUE(platform::PathExists(c.path));
    EXPECT_TRUE(platform::PathIsReadable(c.path));
    EXPECT_TRUE(platform::PathIsWritable(c.path));
  }

  const std::string missing = PathOf("missing");
  FileFacts facts;
  EXPECT_FALSE(platform::PathExists(missing));
  EXPECT_FALSE(platform::PathIsReadable(missing));
  EXPECT_EQ(ENOENT, platform::StatPath(missing, &facts));
}

TEST_F(PlatformTest, ReadOnlyFile) {
  const std::string file = PathOf("read-only.txt");
  WriteAll(file, "fixed");
  const fs::path native = fs::u8path(file);
  fs::permissions(native, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::replace);
  EXPECT_TRUE(platform::PathExists(file));
  EXPECT_TRUE(platform::PathIsReadable(file));
  // Windows' run-time judges by the read-only attribute alone. POSIX asks whether this user
  // may write, and its super-user may: there the access test agrees with a write open.
  std::unique_ptr<File> opened;
  const int write_open = platform::OpenFile(file, Options(true, FileDisposition::kOpenExisting),
                                            &opened);
  opened.reset();
  EXPECT_EQ(kWindowsPaths ? false : write_open == 0, platform::PathIsWritable(file))
      << "a write open gave " << write_open;
  EXPECT_EQ(0, platform::OpenFile(file, Options(false, FileDisposition::kOpenExisting), &opened));
  opened.reset();
  fs::permissions(native, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(platform::PathIsWritable(file));
}

TEST_F(PlatformTest, MakeAndRemove) {
  const std::string folder = PathOf("made");
  const std::string file = PathOf("file.txt");
  const std::string nul_path = folder_ + kSep + std::string("a\0b", 3);
  WriteAll(file, "x");
  EXPECT_EQ(0, platform::MakeFolder(folder));
  EXPECT_EQ(EEXIST, platform::MakeFolder(folder));
  EXPECT_EQ(0, platform::RemoveFolder(folder));
  EXPECT_EQ(ENOENT, platform::RemoveFolder(folder));
  EXPECT_EQ(0, platform::RemoveFile(file));
  EXPECT_FALSE(platform::PathExists(file));
  EXPECT_EQ(ENOENT, platform::RemoveFile(file));
  // A path the system cannot be given.
  EXPECT_EQ(EINVAL, platform::MakeFolder(nul_path));
  EXPECT_EQ(EINVAL, platform::RemoveFolder(nul_path));
  EXPECT_EQ(EINVAL, platform::RemoveFile(nul_path));
  FileFacts facts;
  EXPECT_EQ(EINVAL, platform::StatPath(nul_path, &facts));
}

// ---------------------------------------------------------------------------------------------
// Shared streams.

struct CheckLog {
  bool accept = true;
  int calls = 0;
  FileFacts seen;
};

bool LoggingCheck(const FileFacts& opened, void* context) {
  CheckLog* log = static_cast<CheckLog*>(context);
  ++log->calls;
  log->seen = opened;
  return log->accept;
}

TEST_F(PlatformTest, OpenSharedStreamRunsTheCheckBeforeEmptying) {
  const struct {
    const char* name;
    const char* mode;
    bool existing;  // the file holds "keep" beforehand
    bool accept;
    bool opens;
    bool file_after;
    std::string content_after;
  } cases[] = {
      {"w_refused_leaves_file", "wb", true, false, false, true, "keep"},
      {"w_accepted_empties", "wb", true, true, true, true, ""},
      {"w_plus_accepted_empties", "w+b", true, true, true, true, ""},
      {"w_creates", "wb", false, true, true, true, ""},
      {"r_refused", "rb", true, false, false, true, "keep"},
      {"r_accepted", "rb", true, true, true, true, "keep"},
      {"a_accepted_keeps", "ab", true, true, true, true, "keep"},
      {"r_missing", "rb", false, true, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = PathOf(std::string(c.name) + ".txt");
    if (c.existing) WriteAll(file, "keep");
    CheckLog log;
    log.accept = c.accept;
    std::FILE* stream = platform::OpenSharedStream(file, c.mode, &LoggingCheck, &log);
    EXPECT_EQ(c.opens, stream != nullptr);
    if (stream) std::fclose(stream);
    if (c.existing) {
      // The check saw the file as it was, not emptied.
      EXPECT_EQ(1, log.calls);
      EXPECT_TRUE(log.seen.is_regular);
      EXPECT_EQ(4u, log.seen.size);
      EXPECT_GE(log.seen.link_count, 1u);
    }
    EXPECT_EQ(c.file_after, platform::PathExists(file));
    if (c.file_after) {
      EXPECT_EQ(c.content_after, ReadAll(file));
    }
  }
}

TEST_F(PlatformTest, OpenSharedStreamWritesAndShares) {
  const std::string file = PathOf("stream.txt");
  WriteAll(file, "old content");
  std::FILE* stream = platform::OpenSharedStream(file, "w");
  ASSERT_NE(nullptr, stream);
  // Others may open the file for reading and writing meanwhile.
  std::unique_ptr<File> other;
  EXPECT_EQ(0, platform::OpenFile(file, Options(true, FileDisposition::kOpenExisting), &other));
  std::FILE* reader = platform::OpenSharedStream(file, "rb");
  EXPECT_NE(nullptr, reader);
  if (reader) std::fclose(reader);
  other.reset();
  std::fputs("line\n", stream);
  std::fclose(stream);
  // Text mode writes CR LF on Windows.
  EXPECT_EQ(kWindowsPaths ? "line\r\n" : "line\n", ReadAll(file));

  stream = platform::OpenSharedStream(file, "ab");
  ASSERT_NE(nullptr, stream);
  std::fputs("more\n", stream);
  std::fclose(stream);
  EXPECT_EQ(kWindowsPaths ? "line\r\nmore\n" : "line\nmore\n", ReadAll(file));

  const std::string nul_path = folder_ + kSep + std::string("a\0b", 3);
  EXPECT_EQ(nullptr, platform::OpenSharedStream(nul_path, "wb"));
}

// ---------------------------------------------------------------------------------------------
// Files held open by handle.

TEST_F(PlatformTest, FileReadWriteSeekSize) {
  const std::string path = PathOf("file.bin");
  std::unique_ptr<File> file;
  EXPECT_EQ(platform::kErrorFileNotFound,
            platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &file));
  EXPECT_EQ(nullptr, file);

  ASSERT_EQ(0, platform::OpenFile(path, Options(true, FileDisposition::kCreateAlways), &file));
  uint32_t moved = 0;
  ASSERT_EQ(0, file->Write("hello world", 11, &moved));
  EXPECT_EQ(11u, moved);
  uint64_t size = 0;
  ASSERT_EQ(0, file->Size(&size));
  EXPECT_EQ(11u, size);
  uint64_t position = 0;
  ASSERT_EQ(0, file->Seek(6, &position));
  EXPECT_EQ(6u, position);
  char buffer[16] = {};
  ASSERT_EQ(0, file->Read(buffer, sizeof buffer, &moved));
  EXPECT_EQ(5u, moved);
  EXPECT_EQ("world", std::string(buffer, moved));
  ASSERT_EQ(0, file->Read(buffer, sizeof buffer, &moved));
  EXPECT_EQ(0u, moved);  // the end
  ASSERT_EQ(0, file->Seek(5, &position));
  ASSERT_EQ(0, file->SetEndOfFile());
  ASSERT_EQ(0, file->Size(&size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0, file->Flush());
  FileFacts facts;
  ASSERT_EQ(0, file->Facts(&facts));
  EXPECT_TRUE(facts.is_regular);
  EXPECT_FALSE(facts.is_folder);
  EXPECT_EQ(5u, facts.size);
  EXPECT_EQ(1u, facts.link_count);
  EXPECT_EQ(0, file->Close());
  EXPECT_EQ(0, file->Close());  // harmless twice
  EXPECT_EQ("hello", ReadAll(path));

  // A handle opened for reading only cannot write.
  ASSERT_EQ(0, platform::OpenFile(path, Options(false, FileDisposition::kOpenExisting), &file));
  EXPECT_NE(0, file->Write("x", 1, &moved));
  file.reset();
}

// Cutting a file at its pointer, wherever the last read, write or seek left it.
TEST_F(PlatformTest, SetEndOfFileCutsAtThePointer) {
  const std::string path = PathOf("cut.bin");
  const struct {
    const char* name;
    uint64_t seek;        // where the pointer is moved first
    const char* write;    // then written, when not null
    uint32_t read;        // then read, this many bytes
    const char* content;  // what is left after the cut
  } cases[] = {
      {"after_a_write", 0, "abc", 0, "abc"},
      {"after_a_read", 0, nullptr, 4, "hell"},
      {"after_a_seek_and_a_write", 6, "W", 0, "hello W"},
      {"after_a_seek_and_a_read", 2, nullptr, 3, "hello"},
      {"at_the_start", 0, nullptr, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path, "hello world");
    std::unique_ptr<File> file;
    ASSERT_EQ(0, platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &file));
    uint64_t position = 0;
    if (c.seek != 0) {
      ASSERT_EQ(0, file->Seek(c.seek, &position));
    }
    uint32_t moved = 0;
    if (c.write) {
      ASSERT_EQ(0, file->Write(c.write, std::strlen(c.write), &moved));
    }
    char buffer[16];
    if (c.read) {
      ASSERT_EQ(0, file->Read(buffer, c.read, &moved));
    }
    ASSERT_EQ(0, file->SetEndOfFile());
    file.reset();
    EXPECT_EQ(c.content, ReadAll(path));
  }
}

// What another handle wrote shows in the size once this handle has done anything since its
// open: a lock above all, since a reader sizes its read by it.
TEST_F(PlatformTest, SizeShowsOtherWritesOnceTheHandleWasUsed) {
  const std::string path = PathOf("sized.bin");
  const struct {
    const char* name;
    std::function<void(File*)> step;
  } cases[] = {
      // Past the written bytes: Windows locks also bar other handles from writing.
      {"lock", [](File* file) { ASSERT_EQ(0, file->LockShared(100, 1)); }},
      {"facts", [](File* file) { FileFacts facts; ASSERT_EQ(0, file->Facts(&facts)); }},
      {"seek", [](File* file) { uint64_t at = 0; ASSERT_EQ(0, file->Seek(0, &at)); }},
      {"size", [](File* file) { uint64_t size = 0; ASSERT_EQ(0, file->Size(&size)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path, "four");
    std::unique_ptr<File> reader;
    ASSERT_EQ(0, platform::OpenFile(path, Options(false, FileDisposition::kOpenExisting), &reader));
    c.step(reader.get());
    std::unique_ptr<File> writer;
    ASSERT_EQ(0, platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &writer));
    uint32_t moved = 0;
    ASSERT_EQ(0, writer->Write("ten bytes!", 10, &moved));
    writer.reset();
    uint64_t size = 0;
    ASSERT_EQ(0, reader->Size(&size));
    EXPECT_EQ(10u, size);
  }
}

TEST_F(PlatformTest, IsAtFollowsTheRemovalOfAnOpenFile) {
  const std::string path = PathOf("held.bin");
  WriteAll(path, "held");
  std::unique_ptr<File> file;
  ASSERT_EQ(0, platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &file));
  EXPECT_TRUE(file->IsAt(path));
  EXPECT_FALSE(file->IsAt(PathOf("missing.bin")));
  ASSERT_EQ(0, platform::RemoveFile(path));
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Wine keeps a removed file that is still open reachable by its name";
  EXPECT_FALSE(file->IsAt(path));
}

TEST_F(PlatformTest, FileDispositionsAndOptions) {
  const std::string path = PathOf("disposition.bin");
  const struct {
    const char* name;
    FileOpenOptions options;
    bool existing;  // holds "kept" beforehand
    std::string content_after;
  } cases[] = {
      {"open_always_creates", Options(true, FileDisposition::kOpenAlways), false, ""},
      {"open_always_keeps", Options(true, FileDisposition::kOpenAlways), true, "kept"},
      {"create_always_creates", Options(true, FileDisposition::kCreateAlways), false, ""},
      {"create_always_empties", Options(true, FileDisposition::kCreateAlways), true, ""},
      {"create_always_refusing_links_empties",
       Options(true, FileDisposition::kCreateAlways, true), true, ""},
      {"open_existing_read_only", Options(false, FileDisposition::kOpenExisting), true, "kept"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RemoveFile(path);
    if (c.existing) WriteAll(path, "kept");
    std::unique_ptr<File> file;
    ASSERT_EQ(0, platform::OpenFile(path, c.options, &file));
    uint64_t size = 99;
    EXPECT_EQ(0, file->Size(&size));
    EXPECT_EQ(c.content_after.size(), size);
    file.reset();
    EXPECT_EQ(c.content_after, ReadAll(path));
  }

  // The remaining options change how a file is made, not what it holds.
  FileOpenOptions options = Options(true, FileDisposition::kCreateAlways);
  options.hidden = true;
  options.write_through = true;
  options.security = platform::FileSecurity::kOpenToAll;
  const std::string special = PathOf("special.bin");
  std::unique_ptr<File> file;
  ASSERT_EQ(0, platform::OpenFile(special, options, &file));
  uint32_t moved = 0;
  EXPECT_EQ(0, file->Write("abc", 3, &moved));
  EXPECT_EQ(0, file->Close());
  EXPECT_EQ("abc", ReadAll(special));
}

TEST_F(PlatformTest, ReplaceFile) {
  const std::string source = PathOf("source.txt");
  const std::string target = PathOf("target.txt");
  WriteAll(source, "new");
  WriteAll(target, "old");
  ASSERT_EQ(0, platform::ReplaceFile(source, target));
  EXPECT_FALSE(platform::PathExists(source));
  EXPECT_EQ("new", ReadAll(target));
  EXPECT_NE(0, platform::ReplaceFile(source, target));
  EXPECT_EQ("new", ReadAll(target));
}

TEST_F(PlatformTest, RefusesHardLinksForWriting) {
  const std::string target = PathOf("target.txt");
  const std::string link = PathOf("hard-link.txt");
  WriteAll(target, "linked");
  std::error_code error;
  fs::create_hard_link(fs::u8path(target), fs::u8path(link), error);
  if (error) GTEST_SKIP() << "hard links cannot be made here: " << error.message();
  FileFacts facts;
  ASSERT_EQ(0, platform::StatPath(link, &facts));
  EXPECT_EQ(2u, facts.link_count);

  std::unique_ptr<File> file;
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(link, Options(true, FileDisposition::kOpenExisting, true), &file));
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(link, Options(true, FileDisposition::kCreateAlways, true), &file));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ("linked", ReadAll(target));  // refused before anything was emptied
  EXPECT_EQ(0, platform::OpenFile(link, Options(false, FileDisposition::kOpenExisting, true),
                                  &file));
  ASSERT_EQ(0, file->Facts(&facts));
  EXPECT_EQ(2u, facts.link_count);
  file.reset();
  EXPECT_EQ(0, platform::OpenFile(link, Options(true, FileDisposition::kOpenExisting), &file));
  file.reset();

  // A stream's check sees the link count of the file it opened.
  CheckLog log;
  log.accept = false;
  EXPECT_EQ(nullptr, platform::OpenSharedStream(link, "wb", &LoggingCheck, &log));
  EXPECT_EQ(2u, log.seen.link_count);
  EXPECT_EQ("linked", ReadAll(target));
}

TEST_F(PlatformTest, RefusesSymbolicLinks) {
  const std::string target = PathOf("target.txt");
  const std::string link = PathOf("symbolic-link.txt");
  WriteAll(target, "pointed at");
  std::error_code error;
  fs::create_symlink(fs::u8path(target), fs::u8path(link), error);
  if (error) GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();

  std::unique_ptr<File> file;
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(link, Options(false, FileDisposition::kOpenExisting, true), &file));
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(link, Options(true, FileDisposition::kCreateAlways, true), &file));
  EXPECT_EQ(0, platform::OpenFile(link, Options(false, FileDisposition::kOpenExisting), &file));
  file.reset();
  // A stream never follows a link in the final component.
  EXPECT_EQ(nullptr, platform::OpenSharedStream(link, "wb"));
  EXPECT_EQ(nullptr, platform::OpenSharedStream(link, "rb"));
  EXPECT_EQ("pointed at", ReadAll(target));
}

// A FIFO planted under a file's name would block an ordinary open until a writer came; the seam
// refuses it at once instead.
TEST_F(PlatformTest, RefusesAFifoWithoutWaiting) {
  const std::string fifo = PathOf("planted.fifo");
  if (std::system(("mkfifo " + Quoted(fifo) + " 2>" + Quoted(PathOf("mkfifo.err"))).c_str()) != 0)
    GTEST_SKIP() << "this system cannot make a FIFO";
  std::unique_ptr<File> file;
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(fifo, Options(false, FileDisposition::kOpenExisting), &file));
  EXPECT_EQ(platform::kErrorRefused,
            platform::OpenFile(fifo, Options(true, FileDisposition::kOpenAlways, true), &file));
  EXPECT_EQ(nullptr, platform::OpenSharedStream(fifo, "rb"));
}

// ---------------------------------------------------------------------------------------------
// Byte-range locks, between two handles of this process and between two processes.

enum class LockKind { kShared, kExclusive };
enum class Contender { kThread, kProcess };

int TakeLock(File* file, LockKind kind, uint64_t offset, uint64_t length) {
  return kind == LockKind::kShared ? file->LockShared(offset, length)
                                   : file->LockExclusive(offset, length);
}

// The second taker: opens the file, leaves "<marker>.started", waits for its lock, leaves
// "<marker>.acquired", and lets go. Returns 0 when all of it worked.
int ContendForLock(const std::string& path, LockKind kind, uint64_t offset, uint64_t length,
                   const std::string& marker) {
  std::unique_ptr<File> file;
  if (platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &file) != 0) {
    return 10;
  }
  WriteAll(marker + ".started", "");
  if (TakeLock(file.get(), kind, offset, length) != 0) return 11;
  WriteAll(marker + ".acquired", "");
  if (file->Unlock(offset, length) != 0) return 12;
  return file->Close() == 0 ? 0 : 13;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Runs ContendForLock in a child process: this program, started through the shell.
int ContendInChildProcess(const std::string& path, LockKind kind, uint64_t offset,
                          uint64_t length, const std::string& marker) {
  std::string program;
  if (!platform::ProgramFile(&program)) return 20;
  std::string command = Quoted(program) + " --lock-contender " + Quoted(path) + " " +
                        (kind == LockKind::kShared ? "shared" : "exclusive") + " " +
                        std::to_string(offset) + " " + std::to_string(length) + " " +
                        Quoted(marker);
  // Windows' cmd /c drops the first and the last quote of a command that holds more.
  if (kWindowsPaths) command = Quoted(command);
  std::fflush(nullptr);
  return std::system(command.c_str());
}

struct LockCase {
  const char* name;
  LockKind held;
  uint64_t held_offset;
  uint64_t held_length;  // 0: the holder's lock is refused, so nothing is held
  LockKind wanted;
  uint64_t offset;
  uint64_t length;
  bool waits;
};

const LockCase kLockCases[] = {
    {"SharedThenShared", LockKind::kShared, 0, 10, LockKind::kShared, 0, 10, false},
    {"SharedThenExclusive", LockKind::kShared, 0, 10, LockKind::kExclusive, 5, 10, true},
    {"ExclusiveThenShared", LockKind::kExclusive, 0, 10, LockKind::kShared, 9, 1, true},
    {"ExclusiveThenExclusive", LockKind::kExclusive, 0, 10, LockKind::kExclusive, 0, 10, true},
    {"DisjointRanges", LockKind::kExclusive, 0, 10, LockKind::kExclusive, 10, 10, false},
    {"BeyondTheEnd", LockKind::kExclusive, uint64_t(1) << 40, 1, LockKind::kExclusive,
     uint64_t(1) << 40, 1, true},
    // Some systems take a zero-length range as the whole file: the seam refuses it.
    {"ZeroLengthRefused", LockKind::kExclusive, 0, 0, LockKind::kExclusive, 0, 100, false},
};

// One case with one kind of second taker. Printed as its name, which CTest uses for the test.
struct LockRun {
  LockCase lock;
  Contender contender;
};

void PrintTo(const LockRun& run, std::ostream* out) {
  *out << run.lock.name
       << (run.contender == Contender::kThread ? "_OtherHandle" : "_OtherProcess");
}

std::vector<LockRun> AllLockRuns() {
  std::vector<LockRun> runs;
  for (const LockCase& lock : kLockCases) {
    runs.push_back({lock, Contender::kThread});
    runs.push_back({lock, Contender::kProcess});
  }
  return runs;
}

class LockTest : public PlatformTest, public ::testing::WithParamInterface<LockRun> {};

TEST_P(LockTest, SecondTakerWaitsOnlyForAConflict) {
  const LockCase& c = GetParam().lock;
  const Contender contender = GetParam().contender;
  const std::string path = PathOf("locked.bin");
  const std::string marker = PathOf("contender");
  WriteAll(path, std::string(100, 'x'));

  // Declared before the holder, so that on an early return the holder lets go first and the
  // contender can finish.
  std::future<int> taker;
  std::unique_ptr<File> holder;
  ASSERT_EQ(0, platform::OpenFile(path, Options(true, FileDisposition::kOpenExisting), &holder));
  if (c.held_length == 0) {
    EXPECT_NE(0, holder->LockShared(c.held_offset, 0));
    EXPECT_NE(0, holder->LockExclusive(c.held_offset, 0));
    EXPECT_NE(0, holder->Unlock(c.held_offset, 0));
  } else {
    ASSERT_EQ(0, TakeLock(holder.get(), c.held, c.held_offset, c.held_length));
  }

  taker = std::async(std::launch::async, [&] {
    return contender == Contender::kThread
               ? ContendForLock(path, c.wanted, c.offset, c.length, marker)
               : ContendInChildProcess(path, c.wanted, c.offset, c.length, marker);
  });
  ASSERT_TRUE(WaitForPath(marker + ".started", std::chrono::seconds(60)));
  if (c.waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(platform::PathExists(marker + ".acquired")) << "granted despite the conflict";
    EXPECT_EQ(0, holder->Unlock(c.held_offset, c.held_length));
  }
  const bool finished =
      taker.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(finished) << "still waiting for its lock";
  if (!finished) holder->Close();
  EXPECT_EQ(0, taker.get());
  EXPECT_TRUE(platform::PathExists(marker + ".acquired"));
  EXPECT_EQ(0, holder->Close());
}

INSTANTIATE_TEST_SUITE_P(Cases, LockTest, ::testing::ValuesIn(AllLockRuns()));

// ---------------------------------------------------------------------------------------------
// Folders.

TEST_F(PlatformTest, ListFolder) {
  const std::string e_acute = "\xC3\xA9";
  WriteAll(PathOf("a.txt"), "a");
  WriteAll(PathOf(e_acute + ".txt"), "e");
  ASSERT_EQ(0, platform::MakeFolder(PathOf("sub")));
  const std::string listed[] = {folder_, folder_ + kSep};
  for (const std::string& folder : listed) {
    SCOPED_TRACE(folder);
    std::vector<platform::FolderEntry> entries;
    bool start_failed = true;
    ASSERT_EQ(0, platform::ListFolder(folder, &entries, &start_failed));
    EXPECT_FALSE(start_failed);
    std::vector<std::string> names;
    for (const platform::FolderEntry& entry : entries) {
      if (entry.name == "." || entry.name == "..") {
        EXPECT_TRUE(entry.is_folder);
        continue;
      }
      names.push_back(entry.name + (entry.is_folder ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub/", e_acute + ".txt"}), names);
  }

  std::vector<platform::FolderEntry> entries;
  bool start_failed = false;
  EXPECT_NE(0, platform::ListFolder(PathOf("missing"), &entries, &start_failed));
  EXPECT_TRUE(start_failed);
  EXPECT_TRUE(entries.empty());
}

TEST_F(PlatformTest, CreateFolderOpenToAll) {
  const std::string folder = PathOf("open");
  ASSERT_EQ(0, platform::CreateFolderOpenToAll(folder));
  FileFacts facts;
  ASSERT_EQ(0, platform::StatPath(folder, &facts));
  EXPECT_TRUE(facts.is_folder);
  EXPECT_EQ(platform::kErrorAlreadyExists, platform::CreateFolderOpenToAll(folder));
  WriteAll(folder + kSep + "inside.txt", "x");
  EXPECT_EQ("x", ReadAll(folder + kSep + "inside.txt"));
}

TEST_F(PlatformTest, CreateFolderOpenToAllReadsBack) {
  const std::string folder = PathOf("open");
  ASSERT_EQ(0, platform::CreateFolderOpenToAll(folder));
  if (platform_test::g_folder_access_reader == nullptr) {
    // No access lists: the mode bits say it, set past the umask, without the sticky bit.
    const fs::perms perms = fs::status(fs::u8path(folder)).permissions();
    EXPECT_EQ(fs::perms::all, perms & fs::perms::all);
    EXPECT_EQ(fs::perms::none, perms & fs::perms::sticky_bit);
    return;
  }
  if (platform::testing::RunningUnderWine()) {
    GTEST_SKIP() << "Wine accepts access lists but does not store them";
  }
  platform_test::FolderAccess access;
  ASSERT_EQ(0, platform_test::g_folder_access_reader(folder, &access));
  EXPECT_TRUE(access.has_list);
  EXPECT_FALSE(access.is_protected);
  EXPECT_GE(access.explicit_everyone, 1);
  EXPECT_EQ(access.explicit_entries, access.explicit_everyone);
  EXPECT_TRUE(access.everyone_full_control);
  EXPECT_TRUE(access.passed_to_folders_and_files);
}

// ---------------------------------------------------------------------------------------------
// Keyed hashing.

TEST(HmacTest, MatchesRfc4231) {
  const struct {
    const char* name;
    std::string key;
    std::string data;
    const char* mac;
  } cases[] = {
      {"case_1", std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"case_2", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      // A key longer than the hash's block is hashed first.
      {"case_6", std::string(131, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"empty_key_and_data", "", "",
       "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char mac[32] = {};
    ASSERT_TRUE(platform::HmacSha256(c.key.data(), c.key.size(), c.data.data(), c.data.size(),
                                     mac));
    EXPECT_EQ(c.mac, Hex(mac, sizeof mac));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--lock-contender") == 0) {
    const LockKind kind =
        std::strcmp(argv[3], "shared") == 0 ? LockKind::kShared : LockKind::kExclusive;
    return ContendForLock(argv[2], kind, std::strtoull(argv[4], nullptr, 10),
                          std::strtoull(argv[5], nullptr, 10), argv[6]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
