// File names of the cache folder and sub-domain names: decoding any file name is safe, and a
// sub-domain name survives the trip to a file name and back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cache/store/store.h"
#include "fuzz/fuzz_support.h"

namespace {

// The name as a file name and back again; the decoded name must be the original.
void CheckRoundTrip(const std::string& name) {
  std::string fileName;
  const SLCacheStatus encoded = SLCacheStore::subDomainToFileName(name.c_str(), &fileName);
  if (name.empty()) {
    QEM_FUZZ_EXPECT(encoded == kSLCacheBadArgument, name);
    return;
  }
  QEM_FUZZ_EXPECT(encoded == kSLCacheOk, name);
  // The name is stored as the file's name: no separator, nothing the systems refuse.
  QEM_FUZZ_EXPECT(fileName.find_first_of("/\\:*?\"<>|") == std::string::npos, fileName);
  std::string decoded;
  QEM_FUZZ_EXPECT(SLCacheStore::fileNameToSubDomain(fileName, &decoded) == kSLCacheOk, fileName);
  QEM_FUZZ_EXPECT(decoded == name, name + " -> " + fileName + " -> " + decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Any text as a file name, with and without the extension the store adds.
  for (const std::string& fileName : {bytes, bytes + ".slc"}) {
    std::string subDomain;
    if (SLCacheStore::fileNameToSubDomain(fileName, &subDomain) != kSLCacheOk) continue;
    // A name read back from a file name goes out again as a C string: up to its first NUL.
    const std::string asText(subDomain.c_str());
    if (!asText.empty()) CheckRoundTrip(asText);
  }

  // Any text (up to its first NUL, as callers pass it) as a sub-domain name.
  CheckRoundTrip(std::string(bytes.c_str()));
  return 0;
}
