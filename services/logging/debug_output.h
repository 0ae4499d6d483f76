// The debugger output channel, for diagnostics where no logging service is at hand.
#ifndef QEM_SERVICES_LOGGING_DEBUG_OUTPUT_H_
#define QEM_SERVICES_LOGGING_DEBUG_OUTPUT_H_

#include <cstdarg>
#include <cstdio>
#include <string>

// With a stream: prints to it and flushes. Without: formats at most 4093 characters, adds a
// line end and sends the text to the debugger; an empty or failed format sends nothing.
void QemDebugOutput(std::FILE* stream, const char* format, va_list args);

// Sends prefix, ": " and the formatted text to the debugger.
void QemDebugLog(const char* prefix, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

namespace qem_logging_testing {
// While set, debugger texts are appended here instead of being sent. Pass null to stop.
void CaptureDebugOutput(std::string* sink);
}  // namespace qem_logging_testing

#endif  // QEM_SERVICES_LOGGING_DEBUG_OUTPUT_H_
