// Guarded regions: a processor fault (access violation, illegal
// instruction, division by zero) inside a region ends the region instead of
// the process, as a structured exception handler does on Windows. The
// library puts one around its calls into foreign code, the COM objects and
// the host's callback.
//
// Frames between the region and the fault are abandoned: their destructors
// do not run and what they held is lost. A region is for code that may
// fault, not a substitute for error handling.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "platform/win32.h"

namespace kvtr::runtime {

// Runs body(context). True when it returned; false when a processor fault
// ended it. The body must not throw.
bool RunGuarded(void (*body)(void*), void* context) noexcept;

// The same, and when a fault ends the body, `fault` (if not null) receives
// its record: the Windows exception code always; on Windows also the
// system's address and parameters (the chain to a nested record cleared).
// Left untouched when the body returns.
bool RunGuarded(void (*body)(void*), void* context, EXCEPTION_RECORD* fault) noexcept;

// Runs `body` in a guarded region. True when it returned, false when a
// processor fault ended it (its record then in `fault`, if given); a C++
// exception it throws leaves the region and is rethrown here.
template <typename Body>
bool Guarded(Body&& body, EXCEPTION_RECORD* fault = nullptr) {
  struct Call {
    std::remove_reference_t<Body>* body;
    std::exception_ptr thrown;
  } call{&body, nullptr};
  const bool completed = RunGuarded(
      [](void* context) noexcept {
        Call* running = static_cast<Call*>(context);
        try {
          (*running->body)();
        } catch (...) {
          running->thrown = std::current_exception();
        }
      },
      &call, fault);
  if (call.thrown) std::rethrow_exception(call.thrown);
  return completed;
}

}  // namespace kvtr::runtime
