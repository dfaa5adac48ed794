// POSIX platform layer: synchronisation (CreateEventA, SetEvent, ResetEvent
// and the critical-section calls).
//
// Events are objects of the handle table; named events are not served
// (ERROR_NOT_SUPPORTED), since nothing here shares objects between
// processes. A critical section is a recursive pthread mutex kept in the
// caller's CRITICAL_SECTION. Nothing here waits except through the table's
// objects and the host's mutex.
#include <pthread.h>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Storage), "CRITICAL_SECTION too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION misaligned");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
  return reinterpret_cast<pthread_mutex_t*>(section->Storage.Bytes);
}

std::shared_ptr<WaitableObject> EventOf(HANDLE handle) {
  return ReferenceHandleOf<WaitableObject>(handle, ObjectKind::kEvent);
}

}  // namespace
}  // namespace kvtr::posix

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) try {
  using namespace kvtr::posix;
  if (DWORD fault = InjectedFault("CreateEventA", "sync")) {
    SetLastError(fault);
    return nullptr;
  }
  if (name != nullptr && *name != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE event = AddHandle(std::make_shared<WaitableObject>(ObjectKind::kEvent, !manualReset, initialState != 0),
                           EVENT_ALL_ACCESS);
  // As Windows: a new unnamed event leaves ERROR_SUCCESS.
  SetLastError(ERROR_SUCCESS);
  return event;
} catch (...) {
  return kvtr::posix::FailWithException<HANDLE>(nullptr);
}

BOOL SetEvent(HANDLE event) try {
  if (DWORD fault = kvtr::posix::InjectedFault("SetEvent", "sync")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = kvtr::posix::EventOf(event);
  if (object == nullptr) return FALSE;
  object->SetSignalled(true);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL ResetEvent(HANDLE event) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ResetEvent", "sync")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = kvtr::posix::EventOf(event);
  if (object == nullptr) return FALSE;
  object->SetSignalled(false);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

// The critical-section calls cannot fail on Windows and report nothing; a
// null section is ignored here rather than faulting.
void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  if (section == nullptr) return;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(kvtr::posix::MutexOf(section), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  if (section != nullptr) pthread_mutex_lock(kvtr::posix::MutexOf(section));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return section != nullptr && pthread_mutex_trylock(kvtr::posix::MutexOf(section)) == 0;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  if (section != nullptr) pthread_mutex_unlock(kvtr::posix::MutexOf(section));
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  if (section != nullptr) pthread_mutex_destroy(kvtr::posix::MutexOf(section));
}

}  // extern "C"
