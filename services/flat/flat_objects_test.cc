#include <gtest/gtest.h>

#include <string>

#include "services/flat/qem_flat.h"

namespace {

TEST(StringListTest, CursorRules) {
  _QemStringList* list = QemStringListCreate();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(QemStringListGetCount(list), 0u);
  EXPECT_EQ(QemStringListGetNext(list), nullptr);

  for (const char* text : {"one", "two", "three"}) QemStringListAdd(list, text);
  QemStringListAdd(list, nullptr);  // ignored
  EXPECT_EQ(QemStringListGetCount(list), 3u);
  EXPECT_STREQ(QemStringListGetNext(list), "one");
  EXPECT_STREQ(QemStringListGetNext(list), "two");
  EXPECT_STREQ(QemStringListGetNext(list), "three");
  EXPECT_EQ(QemStringListGetNext(list), nullptr);

  QemStringListAdd(list, "four");  // puts the cursor back on the first text
  EXPECT_STREQ(QemStringListGetNext(list), "one");
  QemStringListReset(list);
  EXPECT_STREQ(QemStringListGetNext(list), "one");
  QemObjectRelease(list);
}

TEST(StringListTest, AbsentListsAreAnswered) {
  EXPECT_EQ(QemStringListGetCount(nullptr), 0u);
  EXPECT_EQ(QemStringListGetNext(nullptr), nullptr);
  QemStringListReset(nullptr);
  QemStringListAdd(nullptr, "x");
  EXPECT_EQ(QemObjectRetain(nullptr), nullptr);
  QemObjectRelease(nullptr);
}

// A logger of a kind the flat interface does not attach.
class OtherLogger : public _QemLogger {
 public:
  uint32_t TypeCode() const override { return 0x4F746872; }
  void Write(const char*, va_list) override { ++lines; }
  int lines = 0;
};

TEST(FlatLoggingTest, LogWithoutAServiceLeavesNoneBehind) {
  QemLog(nullptr, "KELVANE", 4, QemNoPublicFormat, "nobody hears %s", "this");
  // Had the call kept a default service alive, this would be a second reference to it.
  _QemLoggingService* service = QemLoggingServiceGet(nullptr);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->RefCount(), 1);
  QemObjectRelease(service);
}

TEST(FlatLoggingTest, OnlyFileLoggersAreAttached) {
  _QemLoggingService* service = QemLoggingServiceGet("flat-test");
  auto* other = new OtherLogger;
  QemLoggingServiceAddLogger(service, other);
  QemLoggingServiceAddLogger(service, nullptr);
  QemLog(service, "C", 1, QemNoPublicFormat, "line");
  EXPECT_EQ(other->lines, 0);
  EXPECT_EQ(other->RefCount(), 1);
  QemObjectRelease(other);
  QemObjectRelease(service);
}

}  // namespace
