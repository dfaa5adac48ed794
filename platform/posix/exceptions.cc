// POSIX platform layer: structured exceptions, as far as the library meets
// them: guarded regions (KvtrRunGuarded, KvtrRunGuardedEx) that end on a
// processor fault and name it by its Windows exception code, and the
// process's top-level exception filter (SetUnhandledExceptionFilter).
//
// No signal handler is installed here: the fault guard of memory_checks.cc
// owns the fault signals, and the top-level filter is only stored, never
// called. The signal -> exception code table below is the only place that
// knows how a POSIX fault is spelled on Windows.
#include <signal.h>

#include <atomic>
#include <cstring>

#include "layer.h"
#include "win32_api.h"

namespace {

// The exception code Windows raises for the fault a signal reports.
DWORD ExceptionCodeOfSignal(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
      return EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      if (code == BUS_ADRALN) return EXCEPTION_DATATYPE_MISALIGNMENT;
      // A mapped file whose page cannot be read in.
      if (code == BUS_ADRERR || code == BUS_OBJERR) return EXCEPTION_IN_PAGE_ERROR;
      return EXCEPTION_ACCESS_VIOLATION;
    case SIGILL:
      if (code == ILL_PRVOPC || code == ILL_PRVREG) return EXCEPTION_PRIV_INSTRUCTION;
      return EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
          return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
          return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
          return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
          return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
          return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
          return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTSUB:
          return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:
          return EXCEPTION_FLT_INVALID_OPERATION;
      }
    default:
      return EXCEPTION_ACCESS_VIOLATION;
  }
}

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_topLevelFilter{nullptr};

}  // namespace

extern "C" {

// The body runs on the fault guard: a processor fault inside it returns
// here. Frames between this call and the fault are abandoned.
BOOL KvtrRunGuardedEx(void (*body)(void*), void* context, EXCEPTION_RECORD* fault) try {
  if (body == nullptr) return TRUE;
  int signal = 0;
  int code = 0;
  if (kvtr::posix::RunOnFaultGuard(body, context, signal, code)) return TRUE;
  if (fault != nullptr) {
    std::memset(fault, 0, sizeof *fault);
    fault->ExceptionCode = ExceptionCodeOfSignal(signal, code);
  }
  return FALSE;
} catch (...) {
  return FALSE;
}

BOOL KvtrRunGuarded(void (*body)(void*), void* context) { return KvtrRunGuardedEx(body, context, nullptr); }

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  return g_topLevelFilter.exchange(filter);
}

}  // extern "C"
