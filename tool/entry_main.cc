// The narrow entry point of the POSIX build. No argument is read.
#include "tool/kelvane_run.h"

int main() { return KelvaneRun(); }
