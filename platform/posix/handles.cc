// POSIX platform layer: the kernel object handle table, CloseHandle and
// WaitForSingleObject.
//
// Handle values are multiples of 4 below 2^31, as Windows gives them, and a
// closed value is not handed out again until the values have gone round
// once, so a stale handle finds nothing instead of someone else's object.
// Only the table lives here: each kind of object (events, threads,
// processes, ...) is implemented in its own service's file.
#include "handles.h"

#include <chrono>
#include <cstdint>
#include <new>
#include <unordered_map>

#include "layer.h"

namespace kvtr::posix {
namespace {

constexpr uintptr_t kFirstHandle = 4;
constexpr uintptr_t kHandleStep = 4;
constexpr uintptr_t kLastHandle = 0x7FFFFFFC;

// The pseudo-handles of GetCurrentProcess and GetCurrentThread.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct Entry {
  std::shared_ptr<KernelObject> object;
  DWORD access;
};

struct Table {
  std::mutex lock;
  std::unordered_map<uintptr_t, Entry> entries;
  uintptr_t next = kFirstHandle;
};

// Never destroyed: a thread may still close or wait on a handle while the
// process runs its exit handlers.
Table& TheTable() {
  static Table* const table = new Table;
  return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

DWORD WaitableObject::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> hold(lock_);
  const auto signalled = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    changed_.wait(hold, signalled);
  } else if (!changed_.wait_for(hold, std::chrono::milliseconds(milliseconds), signalled)) {
    return WAIT_TIMEOUT;
  }
  if (autoReset_) signalled_ = false;
  return WAIT_OBJECT_0;
}

void WaitableObject::SetSignalled(bool signalled) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    signalled_ = signalled;
  }
  if (signalled) changed_.notify_all();
}

HANDLE AddHandle(std::shared_ptr<KernelObject> object, DWORD access) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> hold(table.lock);
  if (table.entries.size() >= (kLastHandle - kFirstHandle) / kHandleStep) throw std::bad_alloc();
  uintptr_t value = table.next;
  while (table.entries.count(value) != 0) value = value == kLastHandle ? kFirstHandle : value + kHandleStep;
  table.entries.emplace(value, Entry{std::move(object), access});
  table.next = value == kLastHandle ? kFirstHandle : value + kHandleStep;
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle, DWORD* access) {
  std::shared_ptr<KernelObject> object;
  DWORD granted = 0;
  if (handle == kCurrentProcess) {
    object = CurrentProcessObject();
    granted = PROCESS_ALL_ACCESS;
  } else if (handle == kCurrentThread) {
    object = CurrentThreadObject();
    granted = THREAD_ALL_ACCESS;
  } else {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    auto found = table.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (found != table.entries.end()) {
      object = found->second.object;
      granted = found->second.access;
    }
  }
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (access != nullptr) *access = granted;
  return object;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> removed;  // released after the table's lock
  Table& table = TheTable();
  std::lock_guard<std::mutex> hold(table.lock);
  auto found = table.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (found == table.entries.end()) return false;
  removed = std::move(found->second.object);
  table.entries.erase(found);
  return true;
}

}  // namespace kvtr::posix

extern "C" {

BOOL CloseHandle(HANDLE object) try {
  if (object == kvtr::posix::kCurrentProcess || object == kvtr::posix::kCurrentThread) return TRUE;
  if (!kvtr::posix::RemoveHandle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) try {
  if (DWORD fault = kvtr::posix::InjectedFault("WaitForSingleObject", "sync")) {
    SetLastError(fault);
    return WAIT_FAILED;
  }
  DWORD access = 0;
  std::shared_ptr<kvtr::posix::KernelObject> object = kvtr::posix::ReferenceHandle(handle, &access);
  if (object == nullptr) return WAIT_FAILED;
  if ((access & SYNCHRONIZE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(WAIT_FAILED);
}

}  // extern "C"
