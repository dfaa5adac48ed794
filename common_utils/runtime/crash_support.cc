#include "common_utils/runtime/crash_support.h"

namespace kvtr::runtime {

std::atomic<CrashHandler*> g_registeredCrashHandler{nullptr};

HMODULE LoadLibraryKeepingFilter(const char* name) {
  const HMODULE module = LoadLibraryA(name);
  if (module == nullptr) return nullptr;
  if (const CrashHandler* handler = g_registeredCrashHandler.load()) SetUnhandledExceptionFilter(handler->filter);
  return module;
}

}  // namespace kvtr::runtime
