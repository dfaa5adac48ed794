// Functions looked up at run time, as code does that must run where the
// system may lack them: GetProcAddress with the cast to the function's type.
#pragma once

#include "platform/win32.h"

namespace kvtr {

// Null when the module is null or does not export `name`.
template <typename Function>
Function ProcedureOf(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

template <typename Function>
Function Kernel32Procedure(const char* name) {
  return ProcedureOf<Function>(GetModuleHandleW(W("kernel32.dll")), name);
}

}  // namespace kvtr
