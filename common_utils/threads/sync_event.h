// SyncEvent: the owner of one unnamed Windows event object.
#pragma once

#include <cstdint>

#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr::logger {

class SyncEvent {
 public:
  // Creates the event. A failed creation is not reported: the handle stays
  // null and the other operations answer what the platform answers for it.
  SyncEvent(bool manualReset, bool initiallySet);
  ~SyncEvent() = default;  // closes the handle
  SyncEvent(const SyncEvent&) = delete;
  SyncEvent& operator=(const SyncEvent&) = delete;

  // Closes the handle (if any); it becomes null.
  void Close() { handle_.reset(); }
  // SetEvent / ResetEvent's result.
  BOOL Set() { return SetEvent(handle_.get()); }
  BOOL Reset() { return ResetEvent(handle_.get()); }
  // Waits up to `timeoutMs` (-1: without limit; any other value for its
  // low 32 bits). 1 when the event was signalled (or the wait abandoned),
  // 0 on time-out, -1 on any other outcome.
  int Wait(int64_t timeoutMs);

  HANDLE handle() const noexcept { return handle_.get(); }

 private:
  UniqueKernelHandle handle_;
};

}  // namespace kvtr::logger
