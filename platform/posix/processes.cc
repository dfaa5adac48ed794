// POSIX platform layer: processes (GetCurrentProcess, GetCurrentProcessId,
// OpenProcess).
//
// Process ids are the host's. Only the current process can be opened: it
// is one object, never signalled while anyone can ask. Another running
// process is refused with ERROR_ACCESS_DENIED, as Windows refuses a process
// the caller may not open; nothing here needs more. No process is created
// or ended here.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {

std::shared_ptr<KernelObject> CurrentProcessObject() {
  // Never destroyed, so the pseudo-handle works while the process exits.
  static auto* const self =
      new std::shared_ptr<KernelObject>(std::make_shared<WaitableObject>(ObjectKind::kProcess, false, false));
  return *self;
}

}  // namespace kvtr::posix

extern "C" {

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) try {
  using namespace kvtr::posix;
  if (DWORD fault = InjectedFault("OpenProcess", "processes")) {
    SetLastError(fault);
    return nullptr;
  }
  // 0 is the idle process on Windows; ids beyond pid_t's range would name
  // process groups (or every process) to the host's calls.
  if (processId == 0 || processId > static_cast<DWORD>(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto pid = static_cast<pid_t>(processId);
  if (pid == getpid()) return AddHandle(CurrentProcessObject(), access);
  const bool running = kill(pid, 0) == 0 || errno == EPERM;
  SetLastError(running ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
  return nullptr;
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(nullptr);
}

}  // extern "C"
