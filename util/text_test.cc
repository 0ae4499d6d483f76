#include "util/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct CopyCase {
  const char* name;
  const char* source;
  size_t size;
  size_t count;
  bool fits;
  const char* expected;
};

TEST(CopyBoundedTest, FitsOnlyWithRoomForTheTerminator) {
  const CopyCase cases[] = {
      {"ten bytes into ten", "0123456789", 10, 10, false, nullptr},
      {"ten bytes into eleven", "0123456789", 11, 10, true, "0123456789"},
      {"count shorter than the source", "0123456789", 11, 4, true, "0123"},
      {"source shorter than the count", "abc", 8, 100, true, "abc"},
      {"empty source", "", 1, 5, true, ""},
  };
  for (const CopyCase& c : cases) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    char* result = CopyBounded(buffer, c.size, c.source, c.count);
    EXPECT_EQ(result != nullptr, c.fits) << c.name;
    if (c.fits) {
      EXPECT_STREQ(buffer, c.expected) << c.name;
    }
  }
}

TEST(CopyBoundedTest, ZeroesTheTailUpToTheLesserOfSizeAndCount) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_NE(CopyBounded(buffer, 12, "ab", 8), nullptr);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(buffer[i], '\0') << i;
  EXPECT_EQ(buffer[8], 'x');  // beyond count: untouched
}

TEST(AppendBoundedTest, RefusesWhatDoesNotFitAndLeavesTheDestination) {
  char buffer[8] = "abc";
  EXPECT_NE(AppendBounded(buffer, sizeof buffer, "defg", 100), nullptr);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(AppendBounded(buffer, sizeof buffer, "h", 100), nullptr);
  EXPECT_STREQ(buffer, "abcdefg");
  char small[8] = "ab";
  EXPECT_NE(AppendBounded(small, sizeof small, "cdefgh", 2), nullptr);
  EXPECT_STREQ(small, "abcd");
}

TEST(FormatBoundedTest, CutsAtSizeMinusOneAndSaysSo) {
  char buffer[6];
  EXPECT_EQ(FormatBounded(buffer, sizeof buffer, "%d-%s", 12, "ab"), 5);
  EXPECT_STREQ(buffer, "12-ab");
  EXPECT_EQ(FormatBounded(buffer, sizeof buffer, "%s", "abcdefgh"), -1);
  EXPECT_STREQ(buffer, "abcde");
}

TEST(Utf8WideTest, RoundTripsAndReplacesInvalidInput) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  auto wide = Utf8ToWide(text.c_str());
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(*wide, std::u16string(u"a\u00E9\u20AC\U0001F600"));
  auto back = WideToUtf8(wide->c_str());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, text);

  EXPECT_EQ(*Utf8ToWide("a\xFF" "b"), std::u16string(u"a\uFFFDb"));
  EXPECT_FALSE(Utf8ToWide(nullptr).has_value());
  EXPECT_EQ(*Utf8ToWide(""), std::u16string());
}

}  // namespace
