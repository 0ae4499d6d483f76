#include "cache/document/seal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cache/document/document.h"
#include "cache/document/report.h"
#include "cache/document/test_support.h"
#include "platform/platform.h"

namespace {

using slcache_test::Report;
using slcache_test::ReportCatcher;

SLCacheSealingKey SealingKey() {
  SLCacheSealingKey key;
  EXPECT_EQ(kSLCacheOk, SLCacheLoadSealingKey(&key));
  return key;
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string Verified(const SLCacheSealingKey* key, const std::string& stored) {
  std::string text = "previous content";
  EXPECT_EQ(kSLCacheOk, verifyAndStripSignature(key, stored.c_str(), stored.size(), &text));
  return text;
}

const char kVerificationFailed[] = "Signature verification failed.";
const char kNoSeal[] =
    "Couldn't found signature tag, could be old version slc file, don't do any thing ignore.";

TEST(SLCacheSealTest, PlatformMacMatchesRfc4231Case2) {
  const char key[] = "Jefe";
  const char data[] = "what do ya want for nothing?";
  unsigned char mac[32];
  ASSERT_TRUE(platform::HmacSha256(key, 4, data, std::strlen(data), mac));
  EXPECT_EQ("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", Hex(mac, 32));
}

TEST(SLCacheSealTest, Base64UsesTheFileNameAlphabet) {
  struct Case {
    std::string bytes;
    const char* encoded;
  } cases[] = {
      {"", ""},         {"a", "YQ=="},  {"ab", "YWI="},     {"abc", "YWJj"},
      {"???", "Pz8-"},  {"\xfb\xff", "+-8="},
      {"__slc_features__", "X19zbGNfZmVhdHVyZXNfXw=="},
  };
  for (const Case& c : cases) {
    std::string text = "replaced";
    SLCacheBase64Encode(c.bytes.data(), c.bytes.size(), &text);
    EXPECT_EQ(c.encoded, text) << c.bytes;
  }
  EXPECT_EQ(64u, std::strlen(kSLCacheBase64Alphabet));
}

// Fixed vectors: the same key and text give these seals on every platform.
TEST(SLCacheSealTest, FixedVectors) {
  SLCacheSealingKey key = SealingKey();
  EXPECT_EQ(32u, key.bytes.size());
  std::string seal;
  ASSERT_EQ(kSLCacheOk, computeSignature(&key, kSLCacheEmptyTemplate, &seal));
  EXPECT_EQ("us4rnr292UjxRYT8W1kLGax3EovqKi4VODcbhPjCWpI=", seal);
  ASSERT_EQ(kSLCacheOk,
            computeSignature(&key, "<SLCInfo><node id=\"A\"><key id=\"k\">1</key></node></SLCInfo>",
                             &seal));
  EXPECT_EQ("D5N+8kYl3eO1P5kNnNUkNRQkK8nvxzVO-GC7wiUmKZU=", seal);

  SLCacheSealingKey rfcKey{"Jefe"};
  ASSERT_EQ(kSLCacheOk, computeSignature(&rfcKey, "what do ya want for nothing?", &seal));
  EXPECT_EQ("W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM=", seal);
}

TEST(SLCacheSealTest, MissingKeyFailsWith2) {
  ReportCatcher catcher;
  std::string seal = "kept";
  SLCacheSealingKey empty;
  EXPECT_EQ(kSLCacheFailure, computeSignature(nullptr, "text", &seal));
  EXPECT_EQ(kSLCacheFailure, computeSignature(&empty, "text", &seal));
  EXPECT_EQ("kept", seal);
  std::string text = kSLCacheEmptyTemplate;
  EXPECT_EQ(kSLCacheFailure, embedSignature(nullptr, &text));
  EXPECT_EQ(kSLCacheEmptyTemplate, text);
  EXPECT_EQ((std::vector<Report>{{4, "Failed to generate signature."}}), catcher.caught);
}

TEST(SLCacheSealTest, EmbedThenVerifyGivesTheTextBack) {
  SLCacheSealingKey key = SealingKey();
  const std::string original = std::string(kSLCacheEmptyTemplate);
  std::string sealed = original;
  ASSERT_EQ(kSLCacheOk, embedSignature(&key, &sealed));
  std::string seal;
  ASSERT_EQ(kSLCacheOk, computeSignature(&key, original, &seal));
  EXPECT_EQ(original.substr(0, original.size() - 10) + kSLCacheSealOpening + seal +
                kSLCacheSealClosing + kSLCacheRootClosing,
            sealed);
  EXPECT_EQ(35u, std::strlen(kSLCacheSealOpening));
  EXPECT_EQ(13u, std::strlen(kSLCacheSealClosing));

  ReportCatcher catcher;
  EXPECT_EQ(original, Verified(&key, sealed));
  EXPECT_TRUE(catcher.caught.empty());
}

TEST(SLCacheSealTest, SealedDocumentParsesAfterStripping) {
  SLCacheSealingKey key = SealingKey();
  SLCacheDoc doc(kSLCacheDocNew);
  ASSERT_EQ(kSLCacheOk, doc.initNewDocument("S", "Uw==.slc"));
  ASSERT_EQ(kSLCacheOk, doc.setValueForKey("S", "</SLCInfo>", " a </SLCInfo> b "));
  std::string text;
  ASSERT_EQ(kSLCacheOk, SLCachePrintCompact(doc.xmlDocument.get(), &text));
  std::string sealed = text;
  ASSERT_EQ(kSLCacheOk, embedSignature(&key, &sealed));
  ReportCatcher catcher;
  std::string stripped = Verified(&key, sealed);
  EXPECT_EQ(text, stripped);
  EXPECT_TRUE(catcher.caught.empty());
  SLCacheDoc reread(kSLCacheDocUnchanged);
  ASSERT_EQ(kSLCacheOk, reread.initWithXMLString(stripped, "S", "Uw==.slc"));
  const char* value = nullptr;
  ASSERT_EQ(kSLCacheOk, reread.getValueForKey("S", "</SLCInfo>", &value));
  EXPECT_STREQ(" a </SLCInfo> b ", value);
}

TEST(SLCacheSealTest, ChangedByteFailsVerificationAndIsStillStripped) {
  SLCacheSealingKey key = SealingKey();
  const std::string original = std::string(kSLCacheEmptyTemplate);
  std::string sealed = original;
  ASSERT_EQ(kSLCacheOk, embedSignature(&key, &sealed));
  size_t positions[] = {sealed.find(">2<") + 1,  // in the text
                        sealed.find(kSLCacheSealOpening) + 40};  // in the seal
  for (size_t position : positions) {
    std::string damaged = sealed;
    damaged[position] = damaged[position] == 'A' ? 'B' : 'A';
    std::string expected = original;
    if (position < original.size() - 10) expected[position] = damaged[position];
    ReportCatcher catcher;
    EXPECT_EQ(expected, Verified(&key, damaged));
    EXPECT_EQ((std::vector<Report>{{4, kVerificationFailed}}), catcher.caught);
  }
  // A seal of another length.
  std::string longer = sealed;
  longer.insert(sealed.rfind(kSLCacheSealClosing), "A");
  ReportCatcher catcher;
  EXPECT_EQ(original, Verified(&key, longer));
  EXPECT_EQ((std::vector<Report>{{4, kVerificationFailed}}), catcher.caught);
}

TEST(SLCacheSealTest, TextWithoutSealIsReturnedUnchanged) {
  SLCacheSealingKey key = SealingKey();
  ReportCatcher catcher;
  EXPECT_EQ(kSLCacheEmptyTemplate, Verified(&key, kSLCacheEmptyTemplate));
  EXPECT_EQ((std::vector<Report>{{4, kNoSeal}}), catcher.caught);
}

TEST(SLCacheSealTest, MisplacedSealsAreReportedAndLeftInPlace) {
  SLCacheSealingKey key = SealingKey();
  struct Case {
    std::string text;
    const char* report;
  } cases[] = {
      {std::string("<SLCInfo>") + kSLCacheSealOpening + "x</key></node>",
       "Improper slc file, it is not terminated properly."},
      {std::string("<SLCInfo></SLCInfo>") + kSLCacheSealOpening + "x</key></node>",
       "Improper slc file, it is not having sig tag properly."},
  };
  for (const Case& c : cases) {
    ReportCatcher catcher;
    EXPECT_EQ(c.text, Verified(&key, c.text));
    EXPECT_EQ((std::vector<Report>{{4, c.report}}), catcher.caught);
  }
}

TEST(SLCacheSealTest, ShortSealRegionIsStrippedAndFails) {
  SLCacheSealingKey key = SealingKey();
  ReportCatcher catcher;
  std::string text = std::string("<SLCInfo>") + kSLCacheSealOpening + "ab</SLCInfo>";
  EXPECT_EQ("<SLCInfo></SLCInfo>", Verified(&key, text));
  EXPECT_EQ((std::vector<Report>{{4, kVerificationFailed}}), catcher.caught);
}

TEST(SLCacheSealTest, VerifyWithoutKeyStillStrips) {
  SLCacheSealingKey key = SealingKey();
  std::string sealed = kSLCacheEmptyTemplate;
  ASSERT_EQ(kSLCacheOk, embedSignature(&key, &sealed));
  ReportCatcher catcher;
  EXPECT_EQ(kSLCacheEmptyTemplate, Verified(nullptr, sealed));
  EXPECT_EQ((std::vector<Report>{{4, "Failed to generate signature."}}), catcher.caught);
}

TEST(SLCacheSealTest, TextWithoutRootClosingIsRefusedUnchanged) {
  SLCacheSealingKey key = SealingKey();
  for (std::string text : {std::string(""), std::string("<SLCInfo>"), std::string("</slcinfo>")}) {
    ReportCatcher catcher;
    std::string before = text;
    EXPECT_EQ(kSLCacheFailure, embedSignature(&key, &text));
    EXPECT_EQ(before, text);
    EXPECT_EQ((std::vector<Report>{
                  {4, "Improper construction of the slcache document, not ending with the tag "
                      "</SLCInfo>."}}),
              catcher.caught);
  }
}

TEST(SLCacheSealTest, SealGoesBeforeTheLastRootClosing) {
  SLCacheSealingKey key = SealingKey();
  std::string text = "<SLCInfo></SLCInfo><SLCInfo></SLCInfo>";
  ASSERT_EQ(kSLCacheOk, embedSignature(&key, &text));
  EXPECT_EQ(0u, text.find("<SLCInfo></SLCInfo><SLCInfo><node id=\"__slcps__\">"));
  EXPECT_EQ("<SLCInfo></SLCInfo><SLCInfo></SLCInfo>", Verified(&key, text));
}

TEST(SLCacheSealTest, SealTextNeedsNoEscaping) {
  SLCacheSealingKey key = SealingKey();
  for (int i = 0; i < 200; ++i) {
    std::string seal;
    ASSERT_EQ(kSLCacheOk, computeSignature(&key, "text " + std::to_string(i), &seal));
    ASSERT_EQ(44u, seal.size());
    EXPECT_EQ(std::string::npos, seal.find_first_not_of(std::string(kSLCacheBase64Alphabet) + "="))
        << seal;
  }
}

TEST(SLCacheSealTest, NullArguments) {
  EXPECT_EQ(kSLCacheNullArgument, SLCacheLoadSealingKey(nullptr));
  SLCacheSealingKey key = SealingKey();
  EXPECT_EQ(kSLCacheNullArgument, embedSignature(&key, nullptr));
  EXPECT_EQ(kSLCacheNullArgument, verifyAndStripSignature(&key, "x", 1, nullptr));
  std::string text = "old";
  EXPECT_EQ(kSLCacheOk, verifyAndStripSignature(&key, nullptr, 0, &text));
  EXPECT_EQ("", text);
}

}  // namespace
