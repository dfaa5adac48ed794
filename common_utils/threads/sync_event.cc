#include "common_utils/threads/sync_event.h"

namespace kvtr::logger {

SyncEvent::SyncEvent(bool manualReset, bool initiallySet)
    : handle_(CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr)) {}

int SyncEvent::Wait(int64_t timeoutMs) {
  const DWORD milliseconds = timeoutMs == -1 ? INFINITE : static_cast<DWORD>(static_cast<uint64_t>(timeoutMs));
  switch (WaitForSingleObject(handle_.get(), milliseconds)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return 1;
    case WAIT_TIMEOUT:
      return 0;
    default:
      return -1;
  }
}

}  // namespace kvtr::logger
