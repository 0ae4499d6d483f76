#include "pcd/service/pcd_service.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "cache/store/store_test_support.h"
#include "services/core/errno_service.h"
#include "services/logging/logging_service.h"

namespace {

using slcache_test::ScratchStore;
using slcache_test::WriteWhole;

constexpr char kPayload[] = "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}";

// Keeps every line the default logging service writes.
class CapturingLogger : public _QemLogger {
 public:
  uint32_t TypeCode() const override { return 0x54657374; }
  void Write(const char* line_format, va_list args) override {
    char line[4096];
    std::vsnprintf(line, sizeof line, line_format, args);
    lines.emplace_back(line);
  }
  bool Has(const std::string& text) const {
    for (const auto& line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

std::string MasterText(bool withName) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ConfigurationFile>\n  <Payload kymraCode=\"";
  text += kPayload;
  text += "\">\n";
  if (withName) text += "    <Data key=\"PayloadName\">Viewer</Data>\n";
  text +=
      "    <Data key=\"Version\">2.1</Data>\n    <Data key=\"Blank\"></Data>\n  </Payload>\n"
      "</ConfigurationFile>\n";
  return text;
}

class PCDServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logging_ = GetLoggingService(nullptr);
    ASSERT_NE(logging_, nullptr);
    logger_ = new CapturingLogger;
    logging_->AddLogger(logger_);
  }
  void TearDown() override {
    if (service_ != nullptr) service_->Release();
    logger_->Release();
    logging_->Release();
  }
  _QemPCDService* Open(const std::string& master) {
    service_ = GetPCDService(master.empty() ? nullptr : master.c_str());
    return service_;
  }
  std::string WriteMaster(const std::string& name, bool withName = true) {
    const std::string path = scratch_.ScratchPath(name);
    WriteWhole(path, MasterText(withName));
    return path;
  }

  ScratchStore scratch_;
  _QemLoggingService* logging_ = nullptr;
  CapturingLogger* logger_ = nullptr;
  _QemPCDService* service_ = nullptr;
};

TEST(PCDTranslation, MasterCodes) {
  const struct {
    int32_t store;
    int32_t service;
  } cases[] = {{0, 0},  {1, 15}, {2, 14}, {3, 14},  {4, 6},   {5, 3},     {6, 3},  {7, 3},
               {8, 7},  {9, 7},  {10, 7}, {11, 9},  {12, 5},  {13, -16}, {255, -16},
               {-1, -16}};
  for (const auto& c : cases) EXPECT_EQ(c.service, PCDTranslateMasterCode(c.store)) << c.store;
}

TEST(PCDTranslation, CacheCodes) {
  const struct {
    int32_t store;
    int32_t service;
  } cases[] = {{0, 0},     {1, 15},    {2, 14},    {3, 14},    {7, 14},   {784, 14},
               {4, 6},     {5, 6},     {6, 6},     {10, 17},   {519, 7},  {768, 18},
               {771, 18},  {772, -16}, {773, 18},  {783, 18},  {785, 18}, {788, 18},
               {789, -16}, {790, 18},  {792, 18},  {793, -16}, {794, 18}, {795, 18},
               {796, -16}, {8, -16},   {9, -16},   {11, -16},  {518, -16}, {520, -16},
               {767, -16}, {1025, -16}, {-1, -16}};
  for (const auto& c : cases) EXPECT_EQ(c.service, PCDTranslateCacheCode(c.store)) << c.store;
}

TEST(PCDTranslation, CompositeNames) {
  EXPECT_EQ("a{|}b", PCDCompositeName("a", "b"));
  EXPECT_EQ("a", PCDCompositeName("a", ""));
}

TEST_F(PCDServiceTest, UnknownSelectorAnswersSixAndOpensNoStore) {
  _QemPCDService* service = Open("");
  const PCDStore bad = static_cast<PCDStore>(2);
  std::string value = "kept";
  std::vector<std::string> list;
  EXPECT_EQ(6, service->OpenStore(bad));
  EXPECT_EQ(6, service->GetValueForKeyInSubDomain(value, "k", "h", 64, bad));
  EXPECT_EQ(6, service->SetValueForKeyInSubDomain("v", "k", "h", bad));
  EXPECT_EQ(6, service->RemoveKeyInSubDomain("k", "h", bad));
  EXPECT_EQ(6, service->RemoveAllKeysInSubDomain("h", bad));
  EXPECT_EQ(6, service->GetKeysInSubDomain(list, "h", bad));
  EXPECT_EQ(6, service->GetSubDomains(list, bad));
  EXPECT_EQ("kept", value);
  EXPECT_FALSE(service->HasMasterStore());
  EXPECT_FALSE(service->HasCacheStore());
}

TEST_F(PCDServiceTest, MissingMasterFallsBackToCacheExceptForRemoval) {
  _QemPCDService* service = Open(scratch_.ScratchPath("missing.xml"));
  EXPECT_EQ(0, service->SetValueForKeyInSubDomain("v1", "k", "Prod", PCDStoreMaster));
  EXPECT_TRUE(logger_->Has("Master PCD doesn't exist. (Errno = 3)"));
  _QemErrnoService* errnoService = GetErrnoService();
  EXPECT_EQ(3, errnoService->LastError());
  errnoService->Release();

  // The failed load is not recorded, so every later opening tries again and falls back again.
  EXPECT_EQ("", service->LoadedMasterNames());
  EXPECT_FALSE(service->HasMasterStore());

  std::string value;
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", "Prod", 64, PCDStoreMaster));
  EXPECT_EQ("v1", value);
  std::vector<std::string> hives;
  EXPECT_EQ(0, service->GetSubDomains(hives, PCDStoreMaster));
  EXPECT_EQ(std::vector<std::string>{"Prod"}, hives);

  EXPECT_EQ(6, service->RemoveKeyInSubDomain("k", "Prod", PCDStoreMaster));
  EXPECT_TRUE(logger_->Has("Failed to remove key [k] in hive [Prod] from master : 4"));
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", "Prod", 64, PCDStoreCache));
}

TEST_F(PCDServiceTest, EmptyMasterValueAnswersSevenWithEmptyOutValue) {
  _QemPCDService* service = Open(WriteMaster("master.xml"));
  std::string value = "before";
  EXPECT_EQ(7, service->GetValueForKeyInSubDomain(value, "Blank", kPayload, 64, PCDStoreMaster));
  EXPECT_EQ("", value);
  EXPECT_TRUE(logger_->Has(std::string("No value for key [Blank] in hive [") + kPayload +
                           "] in master : 10"));
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "Version", kPayload, 64,
                                                  PCDStoreMaster));
  EXPECT_EQ("2.1", value);
}

TEST_F(PCDServiceTest, MissingCacheKeyAnswersSevenAndKeepsOutValue) {
  _QemPCDService* service = Open("");
  ASSERT_EQ(0, service->SetValueForKeyInSubDomain("v", "other", "Prod", PCDStoreCache));
  std::string value = "kept";
  EXPECT_EQ(7, service->GetValueForKeyInSubDomain(value, "k", "Prod", 64, PCDStoreCache));
  EXPECT_EQ("kept", value);
  EXPECT_TRUE(logger_->Has("No value for key [k] in hive [Prod] in cache : 519"));
}

TEST_F(PCDServiceTest, FailedCommitAfterRemovalIsAnswered) {
  // Without a naming entry the payload has no file of its own to be saved to.
  _QemPCDService* service = Open(WriteMaster("unsaveable.xml", false));
  EXPECT_EQ(5, service->RemoveKeyInSubDomain("Version", kPayload, PCDStoreMaster));
  EXPECT_TRUE(logger_->Has("Failed to commit PCF in RemoveKeyInSubDomain"));
  EXPECT_EQ(5, service->SetValueForKeyInSubDomain("v", "k", kPayload, PCDStoreMaster));
  EXPECT_TRUE(logger_->Has("Failed to commit PCF in SetValueForKeyInSubDomain"));
}

TEST_F(PCDServiceTest, MasterNamesAreComparedAsWholeEntries) {
  const std::string longer = WriteMaster("a.xml.bak");
  const std::string shorter = scratch_.ScratchPath("a.xml");
  _QemPCDService* service = Open(longer);
  EXPECT_EQ(0, service->CheckMasterExists());
  // "a.xml" occurs inside "a.xml.bak," but was never loaded: its opening must try the load.
  ASSERT_EQ(service, GetPCDService(shorter.c_str()));
  service->Release();
  EXPECT_EQ(0, service->CheckMasterExists());
  EXPECT_EQ(longer + ",", service->LoadedMasterNames());
  WriteWhole(shorter, MasterText(true));
  EXPECT_EQ(0, service->CheckMasterExists());
  EXPECT_EQ(longer + "," + shorter + ",", service->LoadedMasterNames());
}

TEST_F(PCDServiceTest, CheckMasterWritableLeavesNoProbe) {
  _QemPCDService* service = Open(WriteMaster("master.xml"));
  service->CheckMasterWritable();
  std::vector<std::string> keys;
  service->GetKeysInSubDomain(keys, "__PCD_SD", PCDStoreMaster);
  for (const auto& key : keys) EXPECT_NE("__PCD_TK", key);
  std::string value;
  EXPECT_NE(0, service->GetValueForKeyInSubDomain(value, "__PCD_TK", "__PCD_SD", 64,
                                                  PCDStoreCache));
}

TEST_F(PCDServiceTest, CheckCacheWritableFollowsTheStoreFolder) {
  _QemPCDService* service = Open("");
  EXPECT_EQ(5, service->CheckCacheWritable());  // the cache folder does not exist yet
  ASSERT_EQ(0, service->SetValueForKeyInSubDomain("v", "k", "Prod", PCDStoreCache));
  EXPECT_EQ(0, service->CheckCacheWritable());
}

TEST_F(PCDServiceTest, ParameterFormsBuildCompositeNames) {
  _QemPCDService* service = Open("");
  EXPECT_EQ(0, service->SetValueForKeyInSubDomain("v", "k", "a", PCDHiveQualifier{"b"},
                                                  PCDStoreCache));
  EXPECT_EQ(0, service->SetValueForKeyInSubDomain("w", "k", "a", PCDHiveQualifier{""},
                                                  PCDStoreCache));
  EXPECT_EQ(0, service->SetValueForKeyInSubDomain("x", "k", PCDKeyQualifier{"q"}, "a",
                                                  PCDStoreCache));
  std::string value;
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", "a{|}b", 64, PCDStoreCache));
  EXPECT_EQ("v", value);
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", "a", PCDHiveQualifier{""}, 64,
                                                  PCDStoreCache));
  EXPECT_EQ("w", value);
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", PCDKeyQualifier{"q"}, "a", 64,
                                                  PCDStoreCache));
  EXPECT_EQ("x", value);

  std::vector<std::string> keys{"old"};
  EXPECT_EQ(0, service->GetKeysInSubDomain(keys, "a", PCDStoreCache));
  EXPECT_EQ((std::vector<std::string>{"old", "k", "k{|}q"}), keys);

  EXPECT_EQ(0, service->RemoveKeyInSubDomain("k", "a", PCDHiveQualifier{"b"}, PCDStoreCache));
  EXPECT_NE(0, service->GetValueForKeyInSubDomain(value, "k", "a{|}b", 64, PCDStoreCache));
  EXPECT_EQ(0, service->GetValueForKeyInSubDomain(value, "k", "a", 64, PCDStoreCache));
}

TEST_F(PCDServiceTest, OneInstancePerProcessUntilTheLastRelease) {
  const int32_t loggingReferences = logging_->RefCount();
  _QemPCDService* first = Open("");
  EXPECT_EQ(loggingReferences + 1, logging_->RefCount());
  _QemPCDService* second = GetPCDService(nullptr);
  EXPECT_EQ(first, second);
  second->Release();
  first->Release();
  service_ = nullptr;
  EXPECT_EQ(loggingReferences, logging_->RefCount());  // the service gave its reference back
  logger_->lines.clear();
  _QemPCDService* third = Open("");
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(1, third->RefCount());
  EXPECT_TRUE(logger_->Has("PCD Service in non-threaded mode"));
}

}  // namespace
