// POSIX platform layer: threads (_beginthreadex, ResumeThread,
// SetThreadPriority, GetThreadPriority, GetCurrentThread,
// GetCurrentThreadId, GetExitCodeThread).
//
// Each thread is a detached pthread that shares its object with the handle
// table, so closing the handle while the thread runs ends nothing. A new
// thread first reports its id, then waits at a gate until its suspend
// count is 0 (CREATE_SUSPENDED holds it there until ResumeThread), and only
// then runs its body; when the body returns the object becomes signalled.
// Thread ids are the host's (Linux thread ids): never 0, stable, distinct
// among live threads, and the ones debuggers and `ps -L` show.
//
// Priorities are recorded and answered by GetThreadPriority but do not
// change the host's scheduling: a nice value below the process's own needs
// privileges, so a worker once lowered could not be brought back.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cxxabi.h>
#include <exception>
#include <memory>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

using StartRoutine = unsigned(__stdcall*)(void*);

DWORD HostThreadId() {
#ifdef SYS_gettid
  // Asked for on every log submission: the kernel's answer is kept per
  // thread, and forgotten in a forked child, whose thread has a new id.
  thread_local DWORD cached = 0;
  static const int forgetAtFork = pthread_atfork(nullptr, nullptr, [] { cached = 0; });
  (void)forgetAtFork;
  if (cached == 0) cached = static_cast<DWORD>(syscall(SYS_gettid));
  return cached;
#else
  // Elsewhere a number of this layer's own, given at the thread's first call.
  static std::atomic<DWORD> next{1};
  thread_local const DWORD id = next++;
  return id;
#endif
}

bool IsThreadPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

class ThreadObject final : public WaitableObject {
 public:
  // A thread this layer starts; it runs `start(argument)`.
  ThreadObject(StartRoutine start, void* argument, bool suspended) noexcept
      : WaitableObject(ObjectKind::kThread, false, false),
        start_(start),
        argument_(argument),
        suspendCount_(suspended ? 1 : 0) {}
  // A thread started by other means (the main thread, std::thread).
  explicit ThreadObject(DWORD id) noexcept : WaitableObject(ObjectKind::kThread, false, false), id_(id) {}

  // Runs on the new thread: reports its id, passes the gate, runs the body.
  void Main() {
    {
      std::unique_lock<std::mutex> hold(lock_);
      id_ = HostThreadId();
      changed_.notify_all();
      changed_.wait(hold, [this] { return suspendCount_ == 0; });
    }
    DWORD exitCode;
    try {
      exitCode = start_(argument_);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // As on Windows, an exception nobody catches ends the process; the
      // unwinding up to here has run the body's destructors.
      std::terminate();
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      exitCode_ = exitCode;
    }
    SetSignalled(true);
  }

  // The id, once the new thread has reported it.
  DWORD WaitForId() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return id_ != 0; });
    return id_;
  }

  DWORD Resume() {
    std::lock_guard<std::mutex> hold(lock_);
    const DWORD previous = suspendCount_;
    if (previous > 0 && --suspendCount_ == 0) changed_.notify_all();
    return previous;
  }

  void SetPriority(int priority) {
    std::lock_guard<std::mutex> hold(lock_);
    priority_ = priority;
  }
  int priority() {
    std::lock_guard<std::mutex> hold(lock_);
    return priority_;
  }
  DWORD exitCode() {
    std::lock_guard<std::mutex> hold(lock_);
    return exitCode_;
  }

 private:
  const StartRoutine start_ = nullptr;
  void* const argument_ = nullptr;
  DWORD id_ = 0;
  DWORD suspendCount_ = 0;
  int priority_ = THREAD_PRIORITY_NORMAL;
  DWORD exitCode_ = STILL_ACTIVE;
};

// The object of the calling thread: set before the body of a thread this
// layer started, made on first use for any other thread.
thread_local std::shared_ptr<ThreadObject> t_self;

void* ThreadEntry(void* transfer) {
  std::shared_ptr<ThreadObject> self = std::move(*static_cast<std::shared_ptr<ThreadObject>*>(transfer));
  delete static_cast<std::shared_ptr<ThreadObject>*>(transfer);
  t_self = self;
  self->Main();
  return nullptr;
}

// A new thread's attributes: detached, with at least the host's default
// stack (Windows, too, never gives less than its default reservation).
int PrepareAttributes(pthread_attr_t& attributes, unsigned stackSize) {
  int error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  size_t defaultSize = 0;
  if (error == 0) error = pthread_attr_getstacksize(&attributes, &defaultSize);
  if (error == 0 && stackSize > defaultSize) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    error = pthread_attr_setstacksize(&attributes, (stackSize + page - 1) / page * page);
  }
  return error;
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
  return ReferenceHandleOf<ThreadObject>(handle, ObjectKind::kThread);
}

}  // namespace

std::shared_ptr<KernelObject> CurrentThreadObject() {
  if (t_self == nullptr) t_self = std::make_shared<ThreadObject>(HostThreadId());
  return t_self;
}

}  // namespace kvtr::posix

extern "C" {

uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*), void* argument,
                         unsigned initFlags, unsigned* threadId) try {
  using namespace kvtr::posix;
  if (start == nullptr) {  // the C runtime's check: errno only
    errno = EINVAL;
    return 0;
  }
  if (DWORD fault = InjectedFault("_beginthreadex", "threads")) {
    SetLastError(fault);
    errno = EAGAIN;
    return 0;
  }
  auto object = std::make_shared<ThreadObject>(start, argument, (initFlags & CREATE_SUSPENDED) != 0);
  // The new thread's reference to its object, handed over by pthread_create.
  auto transfer = std::make_unique<std::shared_ptr<ThreadObject>>(object);
  HANDLE handle = AddHandle(object, THREAD_ALL_ACCESS);
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = PrepareAttributes(attributes, stackSize);
    pthread_t thread;
    if (error == 0) error = pthread_create(&thread, &attributes, ThreadEntry, transfer.get());
    pthread_attr_destroy(&attributes);
  }
  if (error == 0) transfer.release();
  if (error != 0) {
    RemoveHandle(handle);
    // What CreateThread reports when the system cannot make a thread; errno
    // is the host's reason, as the C runtime's is.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    errno = error;
    return 0;
  }
  const DWORD id = object->WaitForId();
  if (threadId != nullptr) *threadId = id;
  return reinterpret_cast<uintptr_t>(handle);
} catch (...) {
  errno = ENOMEM;
  return kvtr::posix::FailWithException<uintptr_t>(0);
}

DWORD ResumeThread(HANDLE thread) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ResumeThread", "threads")) {
    SetLastError(fault);
    return static_cast<DWORD>(-1);
  }
  auto object = kvtr::posix::ThreadOf(thread);
  return object != nullptr ? object->Resume() : static_cast<DWORD>(-1);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(static_cast<DWORD>(-1));
}

BOOL SetThreadPriority(HANDLE thread, int priority) try {
  if (DWORD fault = kvtr::posix::InjectedFault("SetThreadPriority", "threads")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = kvtr::posix::ThreadOf(thread);
  if (object == nullptr) return FALSE;
  if (!kvtr::posix::IsThreadPriority(priority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  object->SetPriority(priority);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

int GetThreadPriority(HANDLE thread) try {
  auto object = kvtr::posix::ThreadOf(thread);
  return object != nullptr ? object->priority() : THREAD_PRIORITY_ERROR_RETURN;
} catch (...) {
  return kvtr::posix::FailWithException<int>(THREAD_PRIORITY_ERROR_RETURN);
}

HANDLE GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

DWORD GetCurrentThreadId(void) { return kvtr::posix::HostThreadId(); }

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) try {
  auto object = kvtr::posix::ThreadOf(thread);
  if (object == nullptr) return FALSE;
  if (exitCode == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *exitCode = object->exitCode();
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
