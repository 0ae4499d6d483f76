#include "services/logging/logging_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <chrono>

#include "platform/platform.h"
#include "services/logging/debug_output.h"
#include "util/paths.h"

namespace {

namespace fs = std::filesystem;

// A logger that keeps the lines it is given.
class MemoryLogger : public _QemLogger {
 public:
  uint32_t TypeCode() const override { return 0x4D656D20; }
  void Write(const char* line_format, va_list args) override {
    char line[1024];
    std::vsnprintf(line, sizeof line, line_format, args);
    lines += line;
  }
  std::string lines;
};

// Reads the variables afresh, with a fixed clock (2013-03-05 09:07:02) and process id (4242).
class LoggingTest : public ::testing::Test {
 protected:
  void Configure(const char* level, const char* layout) {
    platform::SetEnv("QemLogLevel", level);
    platform::SetEnv("QemLogFormat", layout);
    qem_logging_testing::ResetConfiguration();
    service_ = GetLoggingService("logging-test");
    ASSERT_NE(service_, nullptr);
    logger_ = new MemoryLogger;
    service_->AddLogger(logger_);
  }
  void SetUp() override {
    std::tm fixed{};
    fixed.tm_year = 113;
    fixed.tm_mon = 2;
    fixed.tm_mday = 5;
    fixed.tm_hour = 9;
    fixed.tm_min = 7;
    fixed.tm_sec = 2;
    platform::testing::SetLocalTime(&fixed);
    const uint32_t pid = 4242;
    platform::testing::SetProcessId(&pid);
  }
  void TearDown() override {
    if (service_) service_->Release();
    if (logger_) logger_->Release();
    platform::testing::SetLocalTime(nullptr);
    platform::testing::SetProcessId(nullptr);
    platform::SetEnv("QemLogLevel", "debug");
    platform::SetEnv("QemLogFormat", "clear");
    qem_logging_testing::ResetConfiguration();
  }
  _QemLoggingService* service_ = nullptr;
  MemoryLogger* logger_ = nullptr;
};

TEST_F(LoggingTest, ClearLineLayout) {
  Configure("debug", "clear");
  service_->Log("KELVANE", kQemLogInformational, QemNoPublicFormat, "KELVANE Start");
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  KELVANE: KELVANE Start\n");
}

TEST_F(LoggingTest, LevelWordsFilterLines) {
  struct Case {
    const char* word;
    int written_up_to;  // highest level that is written
  } const cases[] = {
      {"off", 0},     {"critical", 1},      {"error", 2},   {"warning", 3},
      {"informational", 4}, {"debug", 5},   {"Debug", 5},   {"", 5},
      {"nonsense", 5}, {"0123456789012345678901234567890123456789012345678901234567890123", 5},
  };
  for (const Case& c : cases) {
    Configure(c.word, "clear");
    for (int level = 1; level <= 5; ++level) {
      logger_->lines.clear();
      service_->Log("T", level, QemNoPublicFormat, "line");
      EXPECT_EQ(!logger_->lines.empty(), level <= c.written_up_to)
          << "word '" << c.word << "' level " << level;
    }
    service_->Release();
    service_ = nullptr;
    logger_->Release();
    logger_ = nullptr;
  }
}

TEST_F(LoggingTest, ObscuredLayoutHidesTheFormat) {
  Configure("debug", "obscured");
  EXPECT_EQ(qem_logging_testing::ConfiguredLayout(), kQemLogObscured);
  service_->Log("Svc", kQemLogError, "%s", "secret %s", "value");
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  /Svc" +
                                std::string([] {
                                  char id[16];
                                  std::snprintf(id, sizeof id, "%010u",
                                                static_cast<unsigned>(QemLogMessageId("secret %s")));
                                  return std::string(id);
                                }()) +
                                "/ value\n");

  logger_->lines.clear();
  service_->Log("Svc", kQemLogError, nullptr, "a");
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  /Svc0000000097/ \n");

  logger_->lines.clear();
  service_->Log("Svc", kQemLogError, QemNoPublicFormat, "plain %d", 7);
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  Svc: plain 7\n");

  logger_->lines.clear();
  service_->Log(nullptr, kQemLogError, nullptr, "ab");
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  /<undefined>0000001650/ \n");
}

TEST(MessageIdTest, KnownValues) {
  EXPECT_EQ(QemLogMessageId("a"), 97u);
  EXPECT_EQ(QemLogMessageId("ab"), 1650u);
  EXPECT_EQ(QemLogMessageId(""), 0u);
  // Long texts fold the high bits back in and stay within 31 bits.
  EXPECT_LE(QemLogMessageId("a fairly long format string with \xE9 high bytes %s %d"),
            0x7FFFFFFFu);
}

TEST_F(LoggingTest, ComponentPercentSignsPrintAsThemselves) {
  Configure("debug", "clear");
  service_->Log("100%s", kQemLogInformational, QemNoPublicFormat, "done %d", 5);
  EXPECT_EQ(logger_->lines, "2013-03-05 09:07:02 [4242]  100%s: done 5\n");
}

TEST_F(LoggingTest, EveryLoggerGetsTheArgumentsWhole) {
  Configure("debug", "clear");
  service_->AddLogger(logger_);  // the same logger twice gets each line twice
  service_->Log("C", kQemLogInformational, QemNoPublicFormat, "%s-%d", "x", 42);
  const std::string line = "2013-03-05 09:07:02 [4242]  C: x-42\n";
  EXPECT_EQ(logger_->lines, line + line);
}

TEST(LoggingRegistryTest, SameNameSameServiceUntilTheLastRelease) {
  _QemLoggingService* first = GetLoggingService("registry-test");
  _QemLoggingService* second = GetLoggingService("registry-test");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  second->Release();
  auto* logger = new MemoryLogger;
  first->AddLogger(logger);
  first->Release();  // the last reference: the service and its hold on the logger go
  EXPECT_EQ(logger->RefCount(), 1);
  _QemLoggingService* fresh = GetLoggingService("registry-test");
  fresh->Log("C", kQemLogCritical, QemNoPublicFormat, "unheard");
  EXPECT_TRUE(logger->lines.empty());  // the new service has no loggers
  fresh->Release();
  logger->Release();
}

// Log files in a scratch folder of the temporary folder.
class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[kPathBufferSize];
    ASSERT_NE(GetTempFolder(temp), nullptr);
    folder_ = fs::path(temp) / ("qem-log-" + std::string(
        ::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
        std::to_string(platform::ProcessId()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    qem_logging_testing::CaptureDebugOutput(&debug_);
  }
  void TearDown() override {
    qem_logging_testing::CaptureDebugOutput(nullptr);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string PathOf(const char* name) { return (folder_ / name).string(); }
  static void WriteBytes(const std::string& path, size_t count) {
    std::ofstream(path, std::ios::binary) << std::string(count, 'x');
  }
  fs::path folder_;
  std::string debug_;
};

TEST_F(FileLoggerTest, SizeRuleEmptiesOnlyWhatIsOverTheLimit) {
  struct Case {
    int64_t limit;
    size_t existing;
    bool emptied;
  } const cases[] = {
      {100, 5000, true},    // a limit under 4096 counts as 4096
      {100, 4000, false},
      {-1, 200000, false},  // no limit: always appended to
      {102400000, 5000, false},
  };
  for (const Case& c : cases) {
    const std::string path = PathOf("size.log");
    WriteBytes(path, c.existing);
    _QemFileLogger* logger = CreateFileLogger(path.c_str(), c.limit);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(fs::file_size(path), c.emptied ? 0u : c.existing)
        << "limit " << c.limit << " existing " << c.existing;
    logger->Release();
  }
}

TEST_F(FileLoggerTest, WritesFlushedLinesWithThePlatformLineEnd) {
  const std::string path = PathOf("lines.log");
  _QemFileLogger* logger = CreateFileLogger(path.c_str(), -1);
  ASSERT_NE(logger, nullptr);
  _QemLoggingService* service = GetLoggingService("file-logger-test");
  service->AddLogger(logger);
  service->Log("K", kQemLogCritical, QemNoPublicFormat, "value %d", 1);
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();  // read while the logger is still open: the line was flushed
  const std::string text = content.str();
  const std::string line_end = std::string(platform::kPathSeparator) == "\\" ? "\r\n" : "\n";
  ASSERT_GE(text.size(), line_end.size());
  EXPECT_EQ(text.substr(text.size() - line_end.size()), line_end);
  EXPECT_NE(text.find("  K: value 1"), std::string::npos);
  service->Release();
  logger->Release();
}

TEST_F(FileLoggerTest, RefusesFoldersAndFilesWithSeveralLinks) {
  const std::string folder = PathOf("a-folder");
  fs::create_directory(folder);
  EXPECT_EQ(CreateFileLogger(folder.c_str(), -1), nullptr);
  // Both checks run: a POSIX folder has several links and is reported for that too.
  EXPECT_EQ(debug_.rfind(": " + folder + ": not a regular file\r\n", 0), 0u) << debug_;

  debug_.clear();
  const std::string target = PathOf("target.log");
  const std::string second = PathOf("second-link.log");
  WriteBytes(target, 5000);
  fs::create_hard_link(target, second);
  platform::FileFacts facts;
  ASSERT_EQ(StatPath(second.c_str(), &facts), 0);
  if (facts.link_count < 2)
    GTEST_SKIP() << "this run-time's file status reports one link for every file";
  EXPECT_EQ(CreateFileLogger(second.c_str(), 100), nullptr);
  EXPECT_EQ(debug_, ": " + second + ": too many links\r\n");
  EXPECT_EQ(fs::file_size(target), 5000u);  // nothing was emptied through the second name
}

TEST_F(FileLoggerTest, NeverWritesThroughASymbolicLink) {
  const std::string target = PathOf("victim.dat");
  const std::string planted = PathOf("planted.log");
  WriteBytes(target, 5000);
  std::error_code error;
  fs::create_symlink(target, planted, error);
  if (error) GTEST_SKIP() << "this system cannot make symbolic links here: " << error.message();
  EXPECT_EQ(CreateFileLogger(planted.c_str(), 100), nullptr);
  EXPECT_EQ(fs::file_size(target), 5000u);
}

// Several processes may append to one log file; each line stays whole. The test re-runs its
// own program as two writers.
constexpr int kLinesPerWriter = 200;

TEST(LogFileSharingTest, TwoProcessesAppendWholeLines) {
  const char* child_path = std::getenv("QEM_LOG_WRITER_PATH");
  if (child_path != nullptr && *child_path != '\0') {
    _QemFileLogger* logger = CreateFileLogger(child_path, -1);
    ASSERT_NE(logger, nullptr);
    _QemLoggingService* service = GetLoggingService("writer");
    service->AddLogger(logger);
    for (int i = 0; i < kLinesPerWriter; ++i)
      service->Log("W", kQemLogCritical, QemNoPublicFormat, "writer line %04d %s", i,
                   "0123456789abcdefghijklmnopqrstuvwxyz");
    service->Release();
    logger->Release();
    return;
  }
  std::string program;
  ASSERT_TRUE(platform::ProgramFile(&program));
  char temp[kPathBufferSize];
  ASSERT_NE(GetTempFolder(temp), nullptr);
  const std::string path = std::string(temp) + platform::kPathSeparator + "qem-shared-" +
                           std::to_string(platform::ProcessId()) + ".log";
  std::remove(path.c_str());
  ASSERT_TRUE(platform::SetEnv("QEM_LOG_WRITER_PATH", path.c_str()));
  const std::string command = "\"" + program + "\" --gtest_filter=LogFileSharingTest.*";
  // Two writers at once: the second starts while the first runs.
  const std::string both = std::string(platform::kPathSeparator) == "\\"
                               ? "start /b \"\" " + command + " & " + command
                               : "(" + command + " >/dev/null & " + command + " >/dev/null; wait)";
  EXPECT_EQ(std::system(both.c_str()), 0);
  platform::SetEnv("QEM_LOG_WRITER_PATH", "");
  // The Windows shell does not wait for the writer it started in the background.
  std::vector<std::string> lines;
  for (int attempt = 0; attempt < 200; ++attempt) {
    lines.clear();
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() >= 2 * kLinesPerWriter) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(lines.size(), 2u * kLinesPerWriter);
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_NE(line.find("  W: writer line "), std::string::npos) << line;
    ASSERT_GE(line.size(), 10u);
    EXPECT_EQ(line.substr(line.size() - 10), "qrstuvwxyz") << line;
  }
  std::remove(path.c_str());
}

}  // namespace
