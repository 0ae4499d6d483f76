// Runs the tool as a child process against prepared machine roots, its standard output read
// through a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cache/store/store_test_support.h"
#include "services/flat/qem_flat.h"

namespace {

using slcache_test::OnWindows;
using slcache_test::ReadWhole;
using slcache_test::WriteWhole;

constexpr uintmax_t kLogLimit = 102400000;

struct Seed {
  const char* hive;
  const char* key;
  std::string value;
};

// What one run of the tool printed and returned.
struct ToolRun {
  int exitCode = -1;
  std::string output;  // the exact bytes that reached the pipe
};

// The line end of the tool's standard output: the Windows run-time library writes it in text
// mode, so a line feed reaches the pipe as CR LF there.
std::string LineEnd() { return OnWindows() ? "\r\n" : "\n"; }

std::string WithLineEnds(const std::string& text) {
  std::string result;
  for (char c : text) result += c == '\n' ? LineEnd() : std::string(1, c);
  return result;
}

std::string ExpectedOutput(int exitCode) {
  return WithLineEnds("\n\tKelvane product mapping check\n"
                      "\tReads the product mappings kept in the configuration cache.\n\n"
                      "Exit Code:" + std::to_string(exitCode) + "\n");
}

std::vector<std::string> Lines(const std::string& log) {
  std::vector<std::string> lines;
  std::stringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

int CountLines(const std::string& log, const std::string& text) {
  const std::vector<std::string> lines = Lines(log);
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

// Sets an environment variable for the test and puts back what was there before (an absent
// variable is put back as the word that means the same as its absence).
class EnvSetting {
 public:
  EnvSetting(const char* name, const char* value, const char* absentMeaning)
      : name_(name), previous_(absentMeaning) {
    platform::GetEnv(name, &previous_);
    platform::SetEnv(name, value);
  }
  ~EnvSetting() { platform::SetEnv(name_, previous_.c_str()); }
  EnvSetting(const EnvSetting&) = delete;
  EnvSetting& operator=(const EnvSetting&) = delete;

 private:
  const char* name_;
  std::string previous_;
};

// A scratch machine root whose temporary folder (and so the tool's log) is the scratch folder.
class KelvaneFixture {
 public:
  KelvaneFixture() {
    for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) {
      platform::SetEnv(variable, scratch_.scratch().c_str());
    }
  }

  void SeedCache(const std::vector<Seed>& seeds) {
    if (seeds.empty()) return;
    _QemPCDService* service = QemPCDServiceCreate(nullptr);
    ASSERT_NE(service, nullptr);
    for (const Seed& seed : seeds) {
      ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service, seed.value.c_str(), seed.key,
                                                          seed.hive, PCDStoreCache));
    }
    QemObjectRelease(service);
  }

  // Runs the tool with its standard output on a pipe into this process.
  ToolRun RunTool() {
    ToolRun run;
    const std::string command =
        OnWindows() ? std::string("\"\"") + KELVANE_PROGRAM + "\"\""
                    : std::string("'") + KELVANE_PROGRAM + "'";
    // Binary on Windows, so that the bytes are read as the tool wrote them.
    std::FILE* pipe = popen(command.c_str(), OnWindows() ? "rb" : "r");
    EXPECT_NE(pipe, nullptr);
    if (pipe == nullptr) return run;
    char chunk[256];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.output.append(chunk, n);
    const int status = pclose(pipe);
    run.exitCode = OnWindows() ? status : (status >> 8) & 0xFF;
    return run;
  }

  std::string LogPath() const { return scratch_.ScratchPath("kelvane.log"); }
  std::string Log() const { return ReadWhole(LogPath()); }

 private:
  slcache_test::ScratchStore scratch_;
};

// --- Exit code, output bytes and per-name lines over prepared cache stores ---

struct Case {
  const char* name;
  std::vector<Seed> seeds;
  std::vector<std::string> matching;  // the names expected to match a product identifier
  int exitCode;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class KelvaneRunTest : public ::testing::TestWithParam<Case> {};

TEST_P(KelvaneRunTest, ExitCodeOutputAndLog) {
  const Case& c = GetParam();
  KelvaneFixture fixture;
  fixture.SeedCache(c.seeds);
  const ToolRun run = fixture.RunTool();
  EXPECT_EQ(c.exitCode, run.exitCode);
  EXPECT_EQ(ExpectedOutput(c.exitCode), run.output);

  const std::string log = fixture.Log();
  EXPECT_EQ(1, CountLines(log, "KELVANE Start"));
  EXPECT_EQ(1, CountLines(log, "KELVANE End"));
  EXPECT_LT(log.find("KELVANE Start"), log.find("KELVANE End"));
  std::vector<std::string> hives;
  for (const Seed& seed : c.seeds) {
    if (std::find(hives.begin(), hives.end(), seed.hive) == hives.end()) hives.push_back(seed.hive);
  }
  // Each name is judged once: matched or not, never both.
  for (const std::string& hive : hives) {
    const bool matches = std::find(c.matching.begin(), c.matching.end(), hive) != c.matching.end();
    EXPECT_EQ(matches ? 1 : 0, CountLines(log, "Found a matching entry for " + hive + " subdomain"))
        << hive;
    EXPECT_EQ(matches ? 0 : 1,
              CountLines(log, "SubDomain " + hive + " does not match the criteria"))
        << hive;
  }
}

const std::string kLongest(511, 'm');
const std::string kTooLong(512, 'm');

INSTANTIATE_TEST_SUITE_P(
    Machines, KelvaneRunTest,
    ::testing::Values(
        Case{"NoCacheFolder", {}, {}, 7},
        Case{"OnlyOtherNames",
             {{"Suite.Viewer", "ProductMapping", "m"},
              {"Suite.kvl-orbit", "ProductMapping", "m"},
              {"KVL-Tally.Reports", "ProductMapping", "m"}},
             {},
             7},
        Case{"MatchWithoutMapping",
             {{"KVL-ORBIT.Main", "Other", "x"},
              {"Suite.Viewer", "ProductMapping", "m"},
              {"x.KVL-TALLY", "ProductMapping", kTooLong}},
             {"KVL-ORBIT.Main", "x.KVL-TALLY"},
             2},
        Case{"MatchWithMapping",
             {{"Suite.Viewer", "Other", "x"},
              {"KVL-ORBIT.Main", "Other", "x"},
              {"Suite.KVL-TALLY.KVL-ORBIT", "ProductMapping", kLongest}},
             {"KVL-ORBIT.Main", "Suite.KVL-TALLY.KVL-ORBIT"},
             0},
        Case{"IdentifierInTheMiddle",
             {{"Suite.KVL-TALLY.Reports", "ProductMapping", "m"}},
             {"Suite.KVL-TALLY.Reports"},
             0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// --- The log file under levels and layouts inherited from the installer ---

struct LogCase {
  const char* name;
  const char* level;       // "QemLogLevel" in the tool's environment
  uintmax_t existingSize;  // size of the log before the run (0: a short line of text)
  bool expectLines;        // the tool's lines are written
  bool expectEarlierKept;  // what was in the log before is still at its start
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class KelvaneLogTest : public ::testing::TestWithParam<LogCase> {};

TEST_P(KelvaneLogTest, LogFileUnderInheritedLevel) {
  const LogCase& c = GetParam();
  KelvaneFixture fixture;
  const EnvSetting level("QemLogLevel", c.level, "debug");
  const EnvSetting layout("QemLogFormat", "obscured", "clear");
  const std::string earlier = "earlier run" + LineEnd();
  if (c.existingSize == 0) {
    WriteWhole(fixture.LogPath(), earlier);
  } else {
    // Sparse where the file system allows, so the large sizes cost nothing.
    WriteWhole(fixture.LogPath(), "");
    std::filesystem::resize_file(fixture.LogPath(), c.existingSize);
  }

  const ToolRun run = fixture.RunTool();
  EXPECT_EQ(7, run.exitCode);
  EXPECT_EQ(ExpectedOutput(7), run.output);

  const uintmax_t size = std::filesystem::file_size(fixture.LogPath());
  const uintmax_t before = c.existingSize == 0 ? earlier.size() : c.existingSize;
  if (!c.expectEarlierKept) {
    // Emptied at open; at most the run's own lines are in it.
    EXPECT_LT(size, 4096u);
  } else if (c.expectLines) {
    EXPECT_GT(size, before);
  } else {
    EXPECT_EQ(before, size);
  }
  if (size > 4096u) return;  // the large files are checked by size alone

  const std::string log = fixture.Log();
  if (c.expectEarlierKept) {
    EXPECT_EQ(0u, log.rfind(earlier, 0)) << log;
  }
  std::vector<std::string> lines = Lines(log);
  if (c.expectEarlierKept) lines.erase(lines.begin());
  if (!c.expectLines) {
    EXPECT_TRUE(lines.empty()) << log;
    return;
  }
  EXPECT_EQ(1, CountLines(log, "KELVANE Start"));
  EXPECT_EQ(1, CountLines(log, "KELVANE End"));
  // The inherited "obscured" does not reach any line, the service's own included.
  const std::regex clear(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\]  (KELVANE|PCDService): .*)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, clear)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Levels, KelvaneLogTest,
    ::testing::Values(
        LogCase{"OffEmptiesALogOverTheLimit", "off", kLogLimit + 1, false, false},
        LogCase{"OffKeepsALogAtTheLimit", "off", kLogLimit, false, true},
        LogCase{"DebugEmptiesALogOverTheLimitAndWrites", "debug", kLogLimit + 1, true, false},
        LogCase{"OffWritesNothing", "off", 0, false, true},
        LogCase{"CriticalWritesNothing", "critical", 0, false, true},
        LogCase{"ErrorWritesNothing", "error", 0, false, true},
        LogCase{"WarningWritesNothing", "warning", 0, false, true},
        LogCase{"InformationalAppends", "informational", 0, true, true},
        LogCase{"DebugAppends", "debug", 0, true, true}),
    [](const ::testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

}  // namespace
