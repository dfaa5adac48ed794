// Guarded regions on Windows without __try (mingw). RunGuarded calls the
// body through GuardedCall, whose frame carries a structured exception
// handler of its own (a scope of the system's C-specific handler on x64, a
// registration record on x86). The system calls it only for an exception
// that no frame inside the body handled, so the faults that Windows' own
// probes (IsBadReadPtr and friends) catch internally never reach it. For a
// processor fault it resumes the thread in ResumeAfterFault on a stack just
// below the region's frame; the system thus finishes its exception dispatch
// normally, and ResumeAfterFault jumps back into RunGuarded's frame with
// __builtin_longjmp, which restores the frame and stack pointers and never
// unwinds.
//
// The region's state lives in a Win32 TLS slot: the filter may run while
// the heap lock is held, so it must not allocate, and mingw's thread_local
// may.
#include "common_utils/runtime/guarded_region.h"

#include <cstdint>

#include "platform/win32.h"

namespace kvtr::runtime {
namespace {

struct Guard {
  void* jump[5];          // __builtin_setjmp's buffer
  uintptr_t resumeStack;  // where ResumeAfterFault runs
  volatile LONG active;
  EXCEPTION_RECORD fault;  // the record of the fault that ended the region
#if defined(__i386__)
  void* exceptionList;  // fs:[0] when the region began
#endif
};

bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return true;
    default:
      return false;  // C++ exceptions, breakpoints, debugger messages, ...
  }
}

// The TLS slot of the innermost active region; allocated on first use and
// freed when the module unloads.
struct Slot {
  DWORD index = TlsAlloc();
  ~Slot() {
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
  }
};
DWORD g_slot = TLS_OUT_OF_INDEXES;

[[noreturn]] void ResumeAfterFault() {
  Guard* guard = static_cast<Guard*>(TlsGetValue(g_slot));
#if defined(__i386__)
  // The registrations of the abandoned frames lie below this stack.
  __asm__ volatile("movl %0, %%fs:0" : : "r"(guard->exceptionList) : "memory");
#endif
  __builtin_longjmp(guard->jump, 1);
}

// A stack pointer below the caller's frame, aligned as at a function's
// entry, for ResumeAfterFault to run on.
__attribute__((noinline)) uintptr_t ResumeStackBelowCaller() {
  uintptr_t stack;
#if defined(__x86_64__)
  __asm__ volatile("movq %%rsp, %0" : "=r"(stack));
  return ((stack - 256) & ~static_cast<uintptr_t>(15)) - 8;
#else
  __asm__ volatile("movl %%esp, %0" : "=r"(stack));
  return ((stack - 256) & ~static_cast<uintptr_t>(15)) - 4;
#endif
}

}  // namespace
}  // namespace kvtr::runtime

// The filter of GuardedCall's handler: a processor fault on a thread inside
// a region resumes it in ResumeAfterFault; anything else goes on to the
// handlers of the frames further out.
extern "C" LONG KvtrGuardFilter(EXCEPTION_POINTERS* exception, void*) {
  using namespace kvtr::runtime;
  if (!IsProcessorFault(exception->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  Guard* guard = static_cast<Guard*>(TlsGetValue(g_slot));
  if (guard == nullptr || !guard->active) return EXCEPTION_CONTINUE_SEARCH;
  guard->active = 0;
  // The record lives in the dispatcher's frames, which the jump abandons.
  guard->fault = *exception->ExceptionRecord;
  guard->fault.ExceptionRecord = nullptr;
  CONTEXT* context = exception->ContextRecord;
#if defined(__x86_64__)
  context->Rsp = guard->resumeStack;
  context->Rip = reinterpret_cast<DWORD64>(&ResumeAfterFault);
#else
  context->Esp = static_cast<DWORD>(guard->resumeStack);
  context->Eip = reinterpret_cast<DWORD>(&ResumeAfterFault);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

#if defined(__x86_64__)

// Its frame's handler is the C-specific handler with one scope, the call,
// whose filter is KvtrGuardFilter. No C++ object or noexcept here, so the
// compiler adds no handler of its own; one per file, as the scope's labels
// are fixed names.
extern "C" __attribute__((noinline, noclone)) void KvtrGuardedCall(void (*body)(void*), void* context) {
  __try1(KvtrGuardFilter) body(context);
  __except1
}

#else

struct Registration {
  Registration* previous;
  EXCEPTION_DISPOSITION(__cdecl* handler)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);
};

extern "C" EXCEPTION_DISPOSITION __cdecl KvtrGuardHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  EXCEPTION_POINTERS pointers{record, context};
  return KvtrGuardFilter(&pointers, nullptr) == EXCEPTION_CONTINUE_EXECUTION ? ExceptionContinueExecution
                                                                            : ExceptionContinueSearch;
}

// Its registration record lies in its own frame, ahead of the body's.
extern "C" __attribute__((noinline)) void KvtrGuardedCall(void (*body)(void*), void* context) {
  Registration registration;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(registration.previous));
  registration.handler = &KvtrGuardHandler;
  __asm__ volatile("movl %0, %%fs:0" : : "r"(&registration) : "memory");
  body(context);
  __asm__ volatile("movl %0, %%fs:0" : : "r"(registration.previous) : "memory");
}

#endif

namespace kvtr::runtime {

bool RunGuarded(void (*body)(void*), void* context) noexcept { return RunGuarded(body, context, nullptr); }

bool RunGuarded(void (*body)(void*), void* context, EXCEPTION_RECORD* fault) noexcept {
  static Slot slot;
  g_slot = slot.index;
  if (g_slot == TLS_OUT_OF_INDEXES) {
    body(context);
    return true;
  }
  const DWORD lastError = GetLastError();
  Guard guard;
  guard.active = 0;
  guard.resumeStack = ResumeStackBelowCaller();
#if defined(__i386__)
  __asm__ volatile("movl %%fs:0, %0" : "=r"(guard.exceptionList));
#endif
  void* const outer = TlsGetValue(g_slot);
  if (__builtin_setjmp(guard.jump) == 0) {
    TlsSetValue(g_slot, &guard);
    guard.active = 1;
    SetLastError(lastError);
    KvtrGuardedCall(body, context);
    guard.active = 0;
    const DWORD after = GetLastError();
    TlsSetValue(g_slot, outer);
    SetLastError(after);
    return true;
  }
  TlsSetValue(g_slot, outer);
  if (fault != nullptr) *fault = guard.fault;
  return false;
}

}  // namespace kvtr::runtime
