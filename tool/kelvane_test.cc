// Runs the tool as a child process against prepared machine roots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cache/store/store_test_support.h"
#include "services/flat/qem_flat.h"

namespace {

using slcache_test::OnWindows;
using slcache_test::ReadWhole;

struct Seed {
  const char* hive;
  const char* key;
  std::string value;
};

struct Case {
  const char* name;
  std::vector<Seed> seeds;
  int exitCode;
};

std::string Without(std::string text, char dropped) {
  text.erase(std::remove(text.begin(), text.end(), dropped), text.end());
  return text;
}

int CountLines(const std::string& log, const std::string& text) {
  int count = 0;
  std::stringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

class KelvaneRunTest : public ::testing::TestWithParam<Case> {};

TEST_P(KelvaneRunTest, ExitCodeOutputAndLog) {
  const Case& c = GetParam();
  slcache_test::ScratchStore scratch;
  for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) {
    platform::SetEnv(variable, scratch.scratch().c_str());
  }
  if (!c.seeds.empty()) {
    _QemPCDService* service = QemPCDServiceCreate(nullptr);
    ASSERT_NE(service, nullptr);
    for (const Seed& seed : c.seeds) {
      ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service, seed.value.c_str(), seed.key,
                                                          seed.hive, PCDStoreCache));
    }
    QemObjectRelease(service);
  }

  const std::string out = scratch.ScratchPath("stdout.txt");
  const std::string command = std::string(OnWindows() ? "\"\"" : "'") + KELVANE_PROGRAM +
                              (OnWindows() ? "\" > \"" : "' > '") + out +
                              (OnWindows() ? "\"\"" : "'");
  const int status = std::system(command.c_str());
  const int exitCode = OnWindows() ? status : (status >> 8) & 0xFF;
  EXPECT_EQ(c.exitCode, exitCode);

  const std::string output = Without(ReadWhole(out), '\r');
  const std::string notice =
      "\n\tKelvane product mapping check\n"
      "\tReads the product mappings kept in the configuration cache.\n\n";
  EXPECT_EQ(notice + "Exit Code:" + std::to_string(c.exitCode) + "\n", output);

  const std::string log =
      ReadWhole(scratch.ScratchPath("kelvane.log"));
  EXPECT_EQ(1, CountLines(log, "KELVANE Start"));
  EXPECT_EQ(1, CountLines(log, "KELVANE End"));
  std::vector<std::string> hives;
  for (const Seed& seed : c.seeds) {
    if (std::find(hives.begin(), hives.end(), seed.hive) == hives.end()) hives.push_back(seed.hive);
  }
  const int perName = CountLines(log, "does not match the criteria") +
                      CountLines(log, "Found a matching entry for");
  EXPECT_EQ(static_cast<int>(hives.size()), perName) << log;
  EXPECT_LT(log.find("KELVANE Start"), log.find("KELVANE End"));
}

const std::string kLongest(511, 'm');
const std::string kTooLong(512, 'm');

INSTANTIATE_TEST_SUITE_P(
    Machines, KelvaneRunTest,
    ::testing::Values(
        Case{"NoCacheFolder", {}, 7},
        Case{"OnlyOtherNames",
             {{"Suite.Viewer", "ProductMapping", "m"}, {"Suite.kvl-orbit", "ProductMapping", "m"}},
             7},
        Case{"MatchWithoutMapping",
             {{"KVL-ORBIT.Main", "Other", "x"}, {"Suite.Viewer", "ProductMapping", "m"},
              {"x.KVL-TALLY", "ProductMapping", kTooLong}},
             2},
        Case{"MatchWithMapping",
             {{"Suite.Viewer", "Other", "x"}, {"KVL-ORBIT.Main", "Other", "x"},
              {"Suite.KVL-TALLY.KVL-ORBIT", "ProductMapping", kLongest}},
             0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
