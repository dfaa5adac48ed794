// CriticalSection: a recursive lock that records its owning thread and
// recursion depth, and CriticalSectionLock, its scoped guard. Locking or
// unlocking a destroyed lock does nothing.
#pragma once

#include <atomic>

#include "platform/win32.h"

namespace kvtr::logger {

class CriticalSection {
 public:
  // Allocates and initialises the system's critical section; throws
  // std::bad_alloc when memory runs out.
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Deletes and frees the system's critical section; no thread may hold
  // or wait for it. A second call does nothing.
  void Destroy();
  // Enters (the owner may enter again); afterwards this thread is the
  // owner and the depth one more.
  void Lock();
  // Leaves once. Does nothing on a destroyed lock, at depth 0, or on a
  // thread that does not hold the lock.
  void Unlock();

  // The owning thread's id (0 when unowned) and the recursion depth, as
  // the owner sees them.
  DWORD owner() const noexcept { return owner_.load(std::memory_order_relaxed); }
  int depth() const noexcept { return depth_; }

 private:
  CRITICAL_SECTION* section_;
  // Written only while the lock is held; read by other threads to tell
  // whether they hold it.
  std::atomic<DWORD> owner_{0};
  int depth_ = 0;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& lock) : lock_(&lock) { lock_->Lock(); }
  ~CriticalSectionLock() { lock_->Unlock(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection* lock_;
};

}  // namespace kvtr::logger
