// Test helpers of the document library: captured reports, a fixed clock, printing.
#ifndef QEM_CACHE_DOCUMENT_TEST_SUPPORT_H_
#define QEM_CACHE_DOCUMENT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cache/document/document.h"
#include "cache/document/report.h"

namespace slcache_test {

struct Report {
  int level;
  std::string text;
  bool operator==(const Report& other) const {
    return level == other.level && text == other.text;
  }
};

inline void PrintTo(const Report& report, std::ostream* out) {
  *out << "{" << report.level << ", \"" << report.text << "\"}";
}

// Collects every report made while it lives.
class ReportCatcher {
 public:
  ReportCatcher() {
    reports_ = &caught;
    SLCacheReportHook = &Catch;
  }
  ~ReportCatcher() {
    SLCacheReportHook = nullptr;
    reports_ = nullptr;
  }
  ReportCatcher(const ReportCatcher&) = delete;
  ReportCatcher& operator=(const ReportCatcher&) = delete;

  bool Saw(int level, const std::string& text) const {
    for (const Report& report : caught) {
      if (report.level == level && report.text == text) return true;
    }
    return false;
  }

  std::vector<Report> caught;

 private:
  static int Catch(int level, const char* text) {
    if (reports_) reports_->push_back({level, text});
    return 0;
  }
  static inline std::vector<Report>* reports_ = nullptr;
};

// Fixes SLCacheCurrentTime while it lives.
class FixedTime {
 public:
  explicit FixedTime(int64_t seconds) { slcache::testing::SetCurrentTime(&seconds); }
  ~FixedTime() { slcache::testing::SetCurrentTime(nullptr); }
};

// The document printed compactly.
inline std::string Printed(const SLCacheDoc& doc) {
  std::string text;
  EXPECT_EQ(kSLCacheOk, SLCachePrintCompact(doc.xmlDocument.get(), &text));
  return text;
}

// The meta node with the given version and time stamp texts.
inline std::string Meta(const std::string& timeStamp, const std::string& version = "2") {
  return "<node id=\"__SLCMeta__\"><key id=\"VERSION\">" + version +
         "</key><key id=\"IsValid\">1</key><key id=\"TimeStamp\">" + timeStamp + "</key></node>";
}

// A document text: the meta node first, then the given nodes.
inline std::string DocText(const std::string& nodes, const std::string& timeStamp = "100") {
  return "<SLCInfo>" + Meta(timeStamp) + nodes + "</SLCInfo>";
}

}  // namespace slcache_test

#endif  // QEM_CACHE_DOCUMENT_TEST_SUPPORT_H_
