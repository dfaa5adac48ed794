// The exports as the C boundary calls them: each runs behind a barrier
// that nothing crosses. An exception (memory exhausted, a locale the
// platform refuses, anything) or a processor fault that reaches the barrier
// ends the call with the export's failure result and one level-1 report
// that names the export.
#pragma once

#include "common_utils/report/host_log.h"
#include "platform/win32.h"

namespace kvtr::installer::exported {

// Failure results at the barrier: InstRouter -4 for a standard exception,
// -5 for any other and for a fault (its own codes for exceptions);
// InstAgent -1 (the file did not compile); UnInstRouter -5 (its only
// result); UnInstAgent -1 (the class was not deleted); RemoveOldCounters 0
// (it always reports success; the host learns of problems from the
// reports); UnInstOldCounters -1 (the lists could not be handled).
int InstRouter(const WCHAR* directory) noexcept;
int InstAgent(const WCHAR* directory) noexcept;
int UnInstRouter() noexcept;
int UnInstAgent() noexcept;
int RemoveOldCounters() noexcept;
int UnInstOldCounters(const WCHAR* serviceName) noexcept;

}  // namespace kvtr::installer::exported
