// Declarations shared by platform_common.cc and the backends; not part of the seam.
#ifndef QEM_PLATFORM_PLATFORM_INTERNAL_H_
#define QEM_PLATFORM_PLATFORM_INTERNAL_H_

#include <cstdint>
#include <ctime>

namespace platform {
namespace internal {

// The system's own answers, which ProcessId() and LocalTimeNow() return unless a test has
// fixed them.
uint32_t SystemProcessId();
std::tm SystemLocalTime();

}  // namespace internal
}  // namespace platform

#endif  // QEM_PLATFORM_PLATFORM_INTERNAL_H_
