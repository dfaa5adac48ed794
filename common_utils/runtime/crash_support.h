// The places the crash support keeps for a crash handler: the process's
// registration (null: nothing in this library registers one) and a library
// load that keeps the registered handler's top-level exception filter in
// place when the loaded library installs one of its own.
#pragma once

#include <atomic>

#include "platform/win32.h"

namespace kvtr::runtime {

// A crash handler: the top-level exception filter it wants installed.
struct CrashHandler {
  LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
};

// The process's registered crash handler; null unless someone registers one.
// The handler must outlive its registration.
extern std::atomic<CrashHandler*> g_registeredCrashHandler;

// LoadLibraryA(name). When that succeeds and a crash handler is registered,
// its filter is installed again with SetUnhandledExceptionFilter. Returns
// the module, or null with LoadLibraryA's last error; the filter is then
// left as it was.
HMODULE LoadLibraryKeepingFilter(const char* name);

}  // namespace kvtr::runtime
