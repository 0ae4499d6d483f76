// The merge of an in-memory document, changed at random, onto a stored text, and the compact
// print of the result. What the in-memory document wrote must read back from the printed
// text byte for byte, and what it removed must be gone.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "cache/document/document.h"
#include "fuzz/fuzz_support.h"

namespace {

// The in-memory document starts from this text or from a new document.
const char kBase[] =
    "<SLCInfo><node id=\"A\"><key id=\"a\">1</key><key id=\"b\">2</key></node>"
    "<node id=\"B\"><key id=\"a\">3</key></node><node id=\"__SLCMeta__\"><key id=\"VERSION\">2"
    "</key><key id=\"IsValid\">1</key><key id=\"TimeStamp\">7</key></node></SLCInfo>";

// A name from a small set, so that operations meet, or a fuzzed one (never empty).
std::string Name(qemfuzz::Input& in, const char* const* known, size_t count) {
  const uint8_t pick = in.Byte();
  if (pick % 4 != 0) return known[pick % count];
  std::string text = in.Text(16);
  text = text.c_str();
  return text.empty() ? known[0] : text;
}

// What the in-memory document's changes promise for one sub-domain.
struct Expected {
  bool removed = false;                      // removed as a whole; only later writes remain
  std::map<std::string, std::string> set;    // key -> value written last
  std::set<std::string> removedKeys;         // keys removed and not written again
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qemfuzz::EnterScratch();
  const int64_t fixed = 5000;
  slcache::testing::SetCurrentTime(&fixed);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kSubDomains[] = {"A", "B", "C"};
  static const char* const kKeys[] = {"a", "b", "c", "d"};
  qemfuzz::Input in(data, size);

  SLCacheDoc cached(kSLCacheDocUnchanged);
  const bool fromText = in.Byte() & 1;
  const SLCacheStatus init = fromText ? cached.initWithXMLString(kBase, "A", "f")
                                      : cached.initNewDocument("A", "f");
  QEM_FUZZ_EXPECT(init == kSLCacheOk, std::to_string(init));

  std::map<std::string, Expected> expected;
  const int operations = in.Byte() % 24;
  for (int i = 0; i < operations; ++i) {
    const uint8_t kind = in.Byte() % 4;
    const std::string subDomain = Name(in, kSubDomains, 3);
    if (subDomain == kSLCacheMetaId) continue;
    Expected& promise = expected[subDomain];
    if (kind == 0 || kind == 1) {
      const std::string key = Name(in, kKeys, 4);
      std::string value = in.Text(24);
      value = value.c_str();
      if (value.empty()) value = "v";
      if (cached.setValueForKey(subDomain.c_str(), key.c_str(), value.c_str()) == kSLCacheOk) {
        promise.set[key] = value;
        promise.removedKeys.erase(key);
      }
    } else if (kind == 2) {
      const std::string key = Name(in, kKeys, 4);
      if (cached.removeKeyInSubDomain(subDomain.c_str(), key.c_str()) == kSLCacheOk) {
        promise.set.erase(key);
        promise.removedKeys.insert(key);
      }
    } else {
      if (cached.removeSubDomain(subDomain.c_str()) == kSLCacheOk) {
        promise = Expected();
        promise.removed = true;
      }
    }
  }
  const std::string cachedBefore = [&] {
    std::string text;
    SLCachePrintCompact(cached.xmlDocument.get(), &text);
    return text;
  }();

  const std::string stored = in.Rest();
  SLCacheDoc merged(kSLCacheDocUnchanged);
  if (merged.initWithXMLStringAndMergeCachedDoc(stored, "A", "f", &cached) != kSLCacheOk) return 0;

  // The in-memory document is left as it was.
  std::string cachedAfter;
  SLCachePrintCompact(cached.xmlDocument.get(), &cachedAfter);
  QEM_FUZZ_EXPECT(cachedBefore == cachedAfter, cachedBefore + "\n" + cachedAfter);

  std::string printed;
  QEM_FUZZ_EXPECT(SLCachePrintCompact(merged.xmlDocument.get(), &printed) == kSLCacheOk, "");
  SLCacheDoc reread(kSLCacheDocUnchanged);
  const SLCacheStatus reloaded = reread.initWithXMLString(printed, "A", "f");
  QEM_FUZZ_EXPECT(reloaded == kSLCacheOk, std::to_string(reloaded) + ": " + printed);

  const std::string context = "stored: " + stored + "\nprinted: " + printed;
  for (const auto& entry : expected) {
    const char* subDomain = entry.first.c_str();
    const Expected& promise = entry.second;
    for (const auto& written : promise.set) {
      const char* value = nullptr;
      const SLCacheStatus got = reread.getValueForKey(subDomain, written.first.c_str(), &value);
      QEM_FUZZ_EXPECT(got == kSLCacheOk && written.second == value,
                      entry.first + "/" + written.first + "=" + written.second + "\n" + context);
    }
    for (const std::string& key : promise.removedKeys) {
      const char* value = nullptr;
      QEM_FUZZ_EXPECT(reread.getValueForKey(subDomain, key.c_str(), &value) == kSLCacheNotFound,
                      entry.first + "/" + key + " removed\n" + context);
    }
    if (promise.removed) {
      char** keys = nullptr;
      if (reread.getKeysInSubDomain(subDomain, &keys) == kSLCacheOk && keys) {
        for (char** key = keys; *key; ++key) {
          QEM_FUZZ_EXPECT(promise.set.count(*key) != 0,
                          entry.first + "/" + *key + " outlived its sub-domain\n" + context);
        }
        SLCacheFreeStringList(keys);
      }
    }
  }
  return 0;
}
