// The report function of the document cache. The document layer, the store and the front pass
// every diagnostic through SLCacheReport; a process may install one hook to receive them.
#ifndef QEM_CACHE_DOCUMENT_REPORT_H_
#define QEM_CACHE_DOCUMENT_REPORT_H_

// Levels of the logging service's scale that the cache uses.
enum SLCacheReportLevel : int {
  kSLCacheReportError = 2,    // texts beginning "ERROR:"
  kSLCacheReportWarning = 3,  // texts beginning "Warn:"
  kSLCacheReportInfo = 4,     // every other text
};

// Receives the level and the formatted text (at most 1023 characters, valid only during the
// call) and returns what SLCacheReport returns.
using SLCacheReportFunction = int (*)(int level, const char* text);

// The process-wide hook; null (the default) drops every message. Not locked: install it before
// the cache is used.
extern SLCacheReportFunction SLCacheReportHook;

// Formats the message by the printf rules into 1024 bytes (a longer message is cut to its first
// 1023 characters) and hands it to the hook. Returns the hook's result, or 0 without a hook.
int SLCacheReport(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif  // QEM_CACHE_DOCUMENT_REPORT_H_
