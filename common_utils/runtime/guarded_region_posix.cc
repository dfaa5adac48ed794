// Guarded regions on POSIX: the platform layer owns the fault signals and
// runs the region on its fault guard.
#include "common_utils/runtime/guarded_region.h"

#include "platform/win32.h"

namespace kvtr::runtime {

bool RunGuarded(void (*body)(void*), void* context) noexcept { return KvtrRunGuarded(body, context) != FALSE; }

bool RunGuarded(void (*body)(void*), void* context, EXCEPTION_RECORD* fault) noexcept {
  return KvtrRunGuardedEx(body, context, fault) != FALSE;
}

}  // namespace kvtr::runtime
