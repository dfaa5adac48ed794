// POSIX platform layer: processes (GetCurrentProcess, GetCurrentProcessId,
// OpenProcess).
//
// Process ids are the host's. The current process is one object that is
// never signalled while anyone can ask; another running process is watched
// through a Linux pidfd, which becomes readable when it ends. Where pidfds
// are missing another process cannot be opened (ERROR_ACCESS_DENIED). No
// process is created or ended here.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

class ForeignProcess final : public KernelObject {
 public:
  explicit ForeignProcess(UniqueFd pidfd) noexcept : KernelObject(ObjectKind::kProcess), pidfd_(std::move(pidfd)) {}

  DWORD Wait(DWORD milliseconds) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      int wait = -1;
      if (milliseconds != INFINITE) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
      }
      pollfd watch{pidfd_.get(), POLLIN, 0};
      const int ready = poll(&watch, 1, wait);
      if (ready > 0) return WAIT_OBJECT_0;
      if (ready == 0 && wait != INT_MAX && milliseconds != INFINITE) return WAIT_TIMEOUT;
      if (ready < 0 && errno != EINTR) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
    }
  }

 private:
  UniqueFd pidfd_;
};

// A descriptor that watches process `pid`, or -1 with errno set.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

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
  UniqueFd pidfd(OpenPidfd(pid));
  if (!pidfd) {
    const bool running = errno != ESRCH && (kill(pid, 0) == 0 || errno == EPERM);
    SetLastError(running ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return AddHandle(std::make_shared<ForeignProcess>(std::move(pidfd)), access);
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(nullptr);
}

}  // extern "C"
