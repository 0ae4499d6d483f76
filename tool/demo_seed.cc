// Seeds a demo machine's cache store through the configuration database service's own write
// path: some sub-domains that match a product identifier with a mapping, some that match
// without one, and some that do not match.
#include <cstdio>
#include <string>

#include "services/flat/qem_flat.h"
#include "tool/kelvane_run.h"

int main() {
  struct Entry {
    const char* subDomain;
    const char* key;
    const char* value;
  };
  const std::string orbit = std::string("Suite.") + kKelvaneFirstProduct + ".Main";
  const std::string tally = std::string(kKelvaneSecondProduct) + ".Reports";
  const std::string bare = std::string("Suite.") + kKelvaneFirstProduct + ".Extras";
  const Entry entries[] = {
      {orbit.c_str(), kKelvaneMappingKey, "orbit-main-mapping"},
      {orbit.c_str(), "Version", "4.2"},
      {tally.c_str(), kKelvaneMappingKey, "tally-reports-mapping"},
      {bare.c_str(), "Version", "1.0"},
      {"Suite.Viewer", "Version", "2.1"},
      {"Suite.Updater", kKelvaneMappingKey, "not-a-product"},
  };
  _QemPCDService* service = QemPCDServiceCreate(nullptr);
  if (service == nullptr) {
    std::fprintf(stderr, "cannot create the configuration database service\n");
    return 1;
  }
  int failures = 0;
  for (const Entry& entry : entries) {
    const int32_t code = QemPCDServiceSetValueForKeyInSubDomain(
        service, entry.value, entry.key, entry.subDomain, PCDStoreCache);
    std::printf("  %-28s %-16s = %-24s -> %d\n", entry.subDomain, entry.key, entry.value, code);
    if (code != 0) ++failures;
  }
  QemObjectRelease(service);
  return failures == 0 ? 0 : 1;
}
