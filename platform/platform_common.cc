// The parts of the seam that are the same on every platform: the test overrides of the clock
// and the process id.
#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {
namespace {

bool g_time_fixed = false;
std::tm g_fixed_time{};
bool g_pid_fixed = false;
uint32_t g_fixed_pid = 0;

}  // namespace

uint32_t ProcessId() { return g_pid_fixed ? g_fixed_pid : internal::SystemProcessId(); }

std::tm LocalTimeNow() { return g_time_fixed ? g_fixed_time : internal::SystemLocalTime(); }

namespace testing {

void SetLocalTime(const std::tm* fixed) {
  g_time_fixed = fixed != nullptr;
  if (fixed) g_fixed_time = *fixed;
}

void SetProcessId(const uint32_t* fixed) {
  g_pid_fixed = fixed != nullptr;
  if (fixed) g_fixed_pid = *fixed;
}

}  // namespace testing
}  // namespace platform
