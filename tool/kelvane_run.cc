#include "tool/kelvane_run.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "services/flat/qem_flat.h"
#include "util/paths.h"
#include "util/text.h"

const char kKelvaneFirstProduct[] = "KVL-ORBIT";
const char kKelvaneSecondProduct[] = "KVL-TALLY";
const char kKelvaneMappingKey[] = "ProductMapping";

namespace {

constexpr char kComponent[] = "KELVANE";
constexpr char kLogFileName[] = "kelvane.log";
constexpr int64_t kLogSizeLimit = 102400000;
constexpr size_t kValueBufferSize = 512;

void PrintNotice() {
  std::fputs("\n\tKelvane product mapping check\n"
             "\tReads the product mappings kept in the configuration cache.\n\n",
             stdout);
}

// The default logging service with a file logger on "kelvane.log" in the temporary folder, or
// none when the log cannot be set up.
_QemLoggingService* SetUpLogging() {
  char path[kPathBufferSize] = {};
  const bool havePath = GetTempFolder(path) != nullptr &&
                        AppendBounded(path, sizeof path, platform::kPathSeparator,
                                      std::strlen(platform::kPathSeparator)) != nullptr &&
                        AppendBounded(path, sizeof path, kLogFileName,
                                      std::strlen(kLogFileName)) != nullptr;
  // Set before the first logging service exists, so the clear layout holds for the whole run.
  platform::SetEnv("QemLogFormat", "clear");
  if (!havePath) return nullptr;  // no folder for the log: run without one
  _QemFileLogger* logger = QemFileLoggerCreate(path, kLogSizeLimit);
  if (logger == nullptr) return nullptr;
  _QemLoggingService* service = QemLoggingServiceGet(nullptr);
  if (service != nullptr) QemLoggingServiceAddLogger(service, logger);
  QemObjectRelease(logger);
  return service;
}

bool MatchesProduct(const char* name) {
  return std::strstr(name, kKelvaneFirstProduct) != nullptr ||
         std::strstr(name, kKelvaneSecondProduct) != nullptr;
}

}  // namespace

int KelvaneRun() {
  bool anyMatched = false;
  bool anyMapping = false;
  try {
    PrintNotice();
    _QemLoggingService* log = SetUpLogging();
    QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat, "KELVANE Start");

    _QemPCDService* service = QemPCDServiceCreate(nullptr);
    if (service == nullptr) {
      QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat,
             "Unable to create the PCD reference");
    } else {
      _QemStringList* names = QemStringListCreate();
      // A failed listing leaves the list empty, which the exit code reports.
      QemPCDServiceGetSubDomains(service, names, PCDStoreCache);
      QemStringListReset(names);
      char value[kValueBufferSize];
      for (const char* name = QemStringListGetNext(names); name != nullptr;
           name = QemStringListGetNext(names)) {
        if (!MatchesProduct(name)) {
          QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat,
                 "SubDomain %s does not match the criteria", name);
          continue;
        }
        anyMatched = true;
        QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat,
               "Found a matching entry for %s subdomain", name);
        std::memset(value, 0, sizeof value);
        const int32_t code = QemPCDServiceGetValueForKeyInSubDomain(
            service, value, static_cast<int32_t>(sizeof value), kKelvaneMappingKey, name,
            PCDStoreCache);
        if (code != kQemFlatOk) {
          QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat,
                 "No mapping entry %s found in %s subdomain", kKelvaneMappingKey, name);
          continue;
        }
        anyMapping = true;
      }
      QemObjectRelease(service);
      QemObjectRelease(names);
    }

    const int exitCode = !anyMatched ? kKelvaneNoMatch
                         : !anyMapping ? kKelvaneNoMapping
                                       : kKelvaneMappingFound;
    std::printf("Exit Code:%d\n", exitCode);
    std::fflush(stdout);
    QemLog(log, kComponent, kQemLogInformational, QemNoPublicFormat, "KELVANE End");
    return exitCode;
  } catch (...) {
    // Nothing below throws through the flat interface; this only keeps the promise of an
    // exit code line whatever happens.
    const int exitCode = !anyMatched ? kKelvaneNoMatch
                         : !anyMapping ? kKelvaneNoMapping
                                       : kKelvaneMappingFound;
    std::printf("Exit Code:%d\n", exitCode);
    std::fflush(stdout);
    return exitCode;
  }
}
