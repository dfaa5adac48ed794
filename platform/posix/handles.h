// The kernel object handle table of the POSIX platform layer (internal;
// product code never includes this header).
//
// Every kernel object a Win32 call hands out (an event, a thread, a
// process) is a KernelObject kept alive by shared ownership: the table
// holds one reference per open handle and a call that works on an object
// holds another for its duration, so closing a handle while another thread
// waits on it, or while its thread still runs, never frees the object
// under them. A new kind of object derives from KernelObject (or from
// WaitableObject when it can be waited for), names itself in ObjectKind and
// gets its handles from AddHandle.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "win32_api.h"

namespace kvtr::posix {

// Add new kinds at the end.
enum class ObjectKind {
  kEvent,
  kThread,
  kProcess,
  kToken,
  kSnapshot,
  kEventSource,
  kFileSearch,
  kFile,
};

class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) noexcept : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind kind() const noexcept { return kind_; }

  // Waits up to `milliseconds` (INFINITE: without limit) for the object:
  // WAIT_OBJECT_0 or WAIT_TIMEOUT. An object that cannot be waited for
  // answers WAIT_FAILED with ERROR_INVALID_HANDLE set, as Windows does.
  virtual DWORD Wait(DWORD milliseconds);

 private:
  const ObjectKind kind_;
};

// An object with a signalled state. An auto-reset object gives each
// signal to one waiter: the wait that sees it clears it.
class WaitableObject : public KernelObject {
 public:
  WaitableObject(ObjectKind kind, bool autoReset, bool signalled) noexcept
      : KernelObject(kind), autoReset_(autoReset), signalled_(signalled) {}

  DWORD Wait(DWORD milliseconds) override;
  void SetSignalled(bool signalled);

 protected:
  // Guards the state of the object and of its derived kind; `changed_`
  // is notified whenever any of it changes.
  std::mutex lock_;
  std::condition_variable changed_;

 private:
  const bool autoReset_;
  bool signalled_;
};

// Opens a handle to `object` with the given access rights. Throws
// std::bad_alloc when memory or free handle values run out (the callers'
// barrier answers ERROR_NOT_ENOUGH_MEMORY, as Windows does).
HANDLE AddHandle(std::shared_ptr<KernelObject> object, DWORD access);

// The object behind `handle`, the pseudo-handles of the current process
// and thread included, with the access the handle grants; null (and the
// last error ERROR_INVALID_HANDLE) for NULL, unknown and closed handles.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle, DWORD* access = nullptr);

// The same, restricted to one kind: a handle of another kind also gives
// null with ERROR_INVALID_HANDLE, as Windows answers a type mismatch.
template <typename Object>
std::shared_ptr<Object> ReferenceHandleOf(HANDLE handle, ObjectKind kind, DWORD* access = nullptr) {
  std::shared_ptr<KernelObject> object = ReferenceHandle(handle, access);
  if (object == nullptr) return nullptr;
  if (object->kind() != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<Object>(std::move(object));
}

// Takes `handle` out of the table; false when it is not in it. The object
// ends when its last reference goes.
bool RemoveHandle(HANDLE handle);

// The objects behind the pseudo-handles (processes.cc, threads.cc).
std::shared_ptr<KernelObject> CurrentProcessObject();
std::shared_ptr<KernelObject> CurrentThreadObject();

}  // namespace kvtr::posix
