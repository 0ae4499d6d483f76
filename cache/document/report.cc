#include "cache/document/report.h"

#include <cstdarg>
#include <cstdio>

SLCacheReportFunction SLCacheReportHook = nullptr;

int SLCacheReport(int level, const char* format, ...) {
  SLCacheReportFunction hook = SLCacheReportHook;
  if (!hook) return 0;  // nobody would see the text
  char text[1024];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0) text[0] = '\0';
  return hook(level, text);
}
