#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "cache/store/store_test_support.h"
#include "pcd/service/pcd_service.h"
#include "services/flat/qem_flat.h"

namespace {

class FlatPCDServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(service_, nullptr); }
  void TearDown() override { QemObjectRelease(service_); }

  slcache_test::ScratchStore scratch_;
  _QemPCDService* service_ = QemPCDServiceCreate(nullptr);
};

TEST_F(FlatPCDServiceTest, AbsentArgumentsAnswerSix) {
  char buffer[8] = "keep";
  _QemStringList* list = QemStringListCreate();
  EXPECT_EQ(6, QemPCDServiceGetValueForKeyInSubDomain(nullptr, buffer, 8, "k", "h", 1));
  EXPECT_EQ(6, QemPCDServiceGetValueForKeyInSubDomain(service_, nullptr, 8, "k", "h", 1));
  EXPECT_EQ(6, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 8, nullptr, "h", 1));
  EXPECT_EQ(6, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 8, "k", nullptr, 1));
  EXPECT_EQ(6, QemPCDServiceSetValueForKeyInSubDomain(service_, nullptr, "k", "h", 1));
  EXPECT_EQ(6, QemPCDServiceSetValueForKeyInSubDomain(service_, "v", nullptr, "h", 1));
  EXPECT_EQ(6, QemPCDServiceSetValueForKeyInSubDomain(service_, "v", "k", nullptr, 1));
  EXPECT_EQ(6, QemPCDServiceSetValueForKeyInSubDomain(nullptr, "v", "k", "h", 1));
  EXPECT_EQ(6, QemPCDServiceRemoveKeyInSubDomain(service_, nullptr, "h", 1));
  EXPECT_EQ(6, QemPCDServiceRemoveKeyInSubDomain(service_, "k", nullptr, 1));
  EXPECT_EQ(6, QemPCDServiceRemoveKeyInSubDomain(nullptr, "k", "h", 1));
  EXPECT_EQ(6, QemPCDServiceGetSubDomains(service_, nullptr, 1));
  EXPECT_EQ(6, QemPCDServiceGetSubDomains(nullptr, list, 1));
  EXPECT_STREQ("keep", buffer);
  QemObjectRelease(list);
}

TEST_F(FlatPCDServiceTest, ValueMustBeShorterThanTheBuffer) {
  ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service_, "abc", "three", "Prod", 1));
  ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service_, "abcd", "four", "Prod", 1));
  char buffer[4];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(8, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 4, "four", "Prod", 1));
  EXPECT_EQ(0, std::memcmp(buffer, "xxxx", 4));
  EXPECT_EQ(0, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 4, "three", "Prod", 1));
  EXPECT_STREQ("abc", buffer);
  // A service error is passed on with the buffer untouched.
  EXPECT_EQ(7, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 4, "none", "Prod", 1));
  EXPECT_STREQ("abc", buffer);
}

TEST_F(FlatPCDServiceTest, SubDomainsAreAppendedAndRemovalReachesTheStore) {
  ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service_, "v", "k", "Prod", 1));
  _QemStringList* list = QemStringListCreate();
  QemStringListAdd(list, "earlier");
  EXPECT_EQ(0, QemPCDServiceGetSubDomains(service_, list, 1));
  ASSERT_EQ(2u, QemStringListGetCount(list));
  EXPECT_STREQ("earlier", QemStringListGetNext(list));
  EXPECT_STREQ("Prod", QemStringListGetNext(list));
  QemObjectRelease(list);

  EXPECT_EQ(0, QemPCDServiceRemoveKeyInSubDomain(service_, "k", "Prod", 1));
  char buffer[16] = "";
  EXPECT_NE(0, QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 16, "k", "Prod", 1));
}

// Each operation, once with a failure injected beneath it and once without: the exception
// becomes -16 and leaves the caller's buffer and list as they were, and the service answers
// normally again on the next call.
TEST_F(FlatPCDServiceTest, CaughtExceptionsAnswerMinusSixteen) {
  ASSERT_EQ(0, QemPCDServiceSetValueForKeyInSubDomain(service_, "v", "k", "Prod", 1));
  char buffer[16];
  _QemStringList* list = nullptr;
  const struct {
    const char* name;
    std::function<int32_t()> call;
  } cases[] = {
      {"get",
       [&] { return QemPCDServiceGetValueForKeyInSubDomain(service_, buffer, 16, "k", "Prod", 1); }},
      {"set",
       [&] { return QemPCDServiceSetValueForKeyInSubDomain(service_, "w", "k2", "Prod", 1); }},
      {"list", [&] { return QemPCDServiceGetSubDomains(service_, list, 1); }},
      {"remove", [&] { return QemPCDServiceRemoveKeyInSubDomain(service_, "k2", "Prod", 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::strcpy(buffer, "keep");
    list = QemStringListCreate();
    QemStringListAdd(list, "earlier");
    PCDServiceFailNextCallForTesting();
    EXPECT_EQ(-16, c.call());
    EXPECT_STREQ("keep", buffer);
    EXPECT_EQ(1u, QemStringListGetCount(list));
    EXPECT_EQ(0, c.call());
    QemObjectRelease(list);
  }
}

TEST_F(FlatPCDServiceTest, CreateAnswersNoneOnACaughtException) {
  PCDServiceFailNextCallForTesting();
  EXPECT_EQ(nullptr, QemPCDServiceCreate(nullptr));
  _QemPCDService* again = QemPCDServiceCreate(nullptr);
  EXPECT_EQ(service_, again);
  QemObjectRelease(again);
}

}  // namespace
