// The tool's one pass: notice, logging, scan of the cache store's sub-domains, exit code.
#ifndef QEM_TOOL_KELVANE_RUN_H_
#define QEM_TOOL_KELVANE_RUN_H_

#include <cstdint>

// Exit codes of the tool.
enum KelvaneExitCode : int32_t {
  kKelvaneMappingFound = 0,    // a matching sub-domain had its mapping key
  kKelvaneNoMapping = 2,       // sub-domains matched, none had its mapping key
  kKelvaneNoMatch = 7,         // no sub-domain matched (or no service)
};

// The product identifiers looked for in sub-domain names, and the key read from a match.
extern const char kKelvaneFirstProduct[];
extern const char kKelvaneSecondProduct[];
extern const char kKelvaneMappingKey[];

// Runs the tool once and returns its exit code. Never throws.
int KelvaneRun();

#endif  // QEM_TOOL_KELVANE_RUN_H_
