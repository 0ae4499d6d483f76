// A stored document text, as read from a file: the seal check and strip, the document's
// initialisation and lookups, and the listing's extraction of sub-domain ids (through a cache
// front reading the text from a file in the scratch cache folder). Whatever the nesting scan
// lets through must nest no deeper than its limit once parsed.
#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "cache/document/document.h"
#include "cache/document/seal.h"
#include "cache/front/front.h"
#include "cache/store/store.h"
#include "fuzz/fuzz_support.h"
#include "util/xml_nesting.h"

namespace {

struct Fixture {
  SLCacheSealingKey key;
  SLCache* cache = nullptr;
  std::string documentPath;
};

Fixture* g_fixture = nullptr;

// The deepest element nesting of a parsed tree, walked without recursion.
int TreeDepth(const TiXmlNode* root) {
  int deepest = 0;
  int depth = 0;
  const TiXmlNode* node = root->FirstChild();
  while (node) {
    if (node->ToElement() && depth + 1 > deepest) deepest = depth + 1;
    if (node->FirstChild()) {
      if (node->ToElement()) ++depth;
      node = node->FirstChild();
      continue;
    }
    while (node && !node->NextSibling()) {
      node = node->Parent();
      if (node == root) return deepest;
      if (node && node->ToElement()) --depth;
    }
    if (node) node = node->NextSibling();
  }
  return deepest;
}

// The scan must never let through a text the parser nests deeper than the limit.
void CheckNestingScan(const std::string& text, XmlScanEncoding encoding) {
  constexpr int kLimit = 8;  // small, so that short inputs reach it
  if (XmlNestsDeeperThan(text, kLimit, encoding)) return;
  TiXmlDocument parsed;
  parsed.Parse(XmlParserInput(text).c_str(), nullptr,
               encoding == XmlScanEncoding::kUtf8 ? TIXML_ENCODING_UTF8 : TIXML_DEFAULT_ENCODING);
  const int depth = TreeDepth(&parsed);
  QEM_FUZZ_EXPECT(depth <= kLimit, "depth " + std::to_string(depth) + " in: " + text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qemfuzz::EnterScratch();
  g_fixture = new Fixture;
  if (SLCacheLoadSealingKey(&g_fixture->key) != kSLCacheOk) qemfuzz::Fail("no sealing key");
  if (SLCacheCreate(nullptr, &g_fixture->cache) != kSLCacheOk) qemfuzz::Fail("no cache front");
  SLCacheStore store;
  std::string folder;
  store.getCacheFolderPath(&folder);
  if (folder.empty() || store.createCacheFolder(folder) != kSLCacheOk)
    qemfuzz::Fail("no cache folder", folder);
  std::string fileName;
  SLCacheStore::subDomainToFileName("fuzzed", &fileName);
  g_fixture->documentPath = store.documentPath(fileName);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);

  std::string text;
  QEM_FUZZ_EXPECT(verifyAndStripSignature(&g_fixture->key, bytes, size, &text) == kSLCacheOk, "");
  // Stripping only ever removes the seal node.
  QEM_FUZZ_EXPECT(text.size() <= size, "");

  CheckNestingScan(text, XmlScanEncoding::kUnknown);
  CheckNestingScan(text, XmlScanEncoding::kUtf8);

  {
    SLCacheDoc document(kSLCacheDocUnchanged);
    if (document.initWithXMLString(text, "fuzzed", "f") == kSLCacheOk) {
      const char* value = nullptr;
      document.getValueForKey(kSLCacheMetaId, kSLCacheVersionKey, &value);
      char** keys = nullptr;
      if (document.getKeysInSubDomain(kSLCacheMetaId, &keys) == kSLCacheOk)
        SLCacheFreeStringList(keys);
      // A loaded document prints, seals, and loads again from what it printed.
      std::string printed;
      QEM_FUZZ_EXPECT(SLCachePrintCompact(document.xmlDocument.get(), &printed) == kSLCacheOk, "");
      if (embedSignature(&g_fixture->key, &printed) == kSLCacheOk) {
        std::string again;
        verifyAndStripSignature(&g_fixture->key, printed.data(), printed.size(), &again);
        SLCacheDoc reloaded(kSLCacheDocUnchanged);
        const SLCacheStatus status = reloaded.initWithXMLString(again, "fuzzed", "f");
        QEM_FUZZ_EXPECT(status == kSLCacheOk, std::to_string(status) + ": " + again);
      }
    }
  }

  // The listing reads the file itself.
  {
    std::ofstream out(g_fixture->documentPath, std::ios::binary | std::ios::trunc);
    out.write(bytes, static_cast<std::streamsize>(size));
  }
  char** names = nullptr;
  if (SLCacheGetSubDomains(g_fixture->cache, &names) == kSLCacheOk)
    SLCacheFreeStringArray(g_fixture->cache, &names);
  return 0;
}
