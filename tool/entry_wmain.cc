// The wide-character console entry point of the Windows build. No argument is read.
#include "tool/kelvane_run.h"

int wmain(int /*argc*/, wchar_t** /*argv*/, wchar_t** /*envp*/) { return KelvaneRun(); }
