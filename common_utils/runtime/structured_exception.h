// Processor faults as C++ exceptions. Windows code turns a structured
// exception into a C++ one with a translator (_set_se_translator); mingw and
// POSIX have none, so TranslateFaults runs a callable in a guarded region
// and throws what ended it. The logger's worker runs each entry through it.
#pragma once

#include "common_utils/runtime/guarded_region.h"
#include "platform/win32.h"

namespace kvtr::runtime {

// A processor fault: its structured exception code (EXCEPTION_ACCESS_VIOLATION,
// EXCEPTION_ILLEGAL_INSTRUCTION, EXCEPTION_INT_DIVIDE_BY_ZERO, ...) and the
// fault's exception pointers. Handlers read the code.
//
// No processor context outlives the guarded region, so ContextRecord is
// null. ExceptionRecord points to this thread's copy of the fault's record,
// valid until the thread's next fault: on Windows the system's record (code,
// address, parameters; no chain), on POSIX the code alone.
class StructuredException {
 public:
  StructuredException(unsigned int code, EXCEPTION_POINTERS* pointers) noexcept : code_(code), pointers_(pointers) {}

  unsigned int code() const noexcept { return code_; }
  EXCEPTION_POINTERS* pointers() const noexcept { return pointers_; }

 private:
  unsigned int code_;
  EXCEPTION_POINTERS* pointers_;
};

namespace detail {
// Keeps `fault` as this thread's record and throws it.
[[noreturn]] void ThrowStructuredException(const EXCEPTION_RECORD& fault);
}  // namespace detail

// Runs `body`. A processor fault that ends it is thrown as a
// StructuredException; a C++ exception it throws passes through. As in any
// guarded region, the frames between this call and a fault are abandoned
// without their destructors.
template <typename Body>
void TranslateFaults(Body&& body) {
  EXCEPTION_RECORD fault;
  if (!Guarded(body, &fault)) detail::ThrowStructuredException(fault);
}

}  // namespace kvtr::runtime
