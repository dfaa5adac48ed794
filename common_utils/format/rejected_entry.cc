#include "common_utils/format/rejected_entry.h"

#include <mutex>

namespace kvtr::format {
namespace {

std::mutex g_listenerLock;
RejectedEntryListener g_listener = nullptr;
void* g_context = nullptr;

// Set while this thread is inside a listener: an entry rejected by the
// listener's own logging is dropped instead of re-entering it.
thread_local bool t_handingOver = false;

}  // namespace

void SetRejectedEntryListener(RejectedEntryListener listener, void* context) {
  std::lock_guard<std::mutex> lock(g_listenerLock);
  g_listener = listener;
  g_context = context;
}

void HandOverRejectedEntry(const RejectedEntry& entry) {
  if (t_handingOver) return;
  // Called under the lock so a listener is never called after it was
  // replaced; rejections are rare, so serialising them costs nothing.
  std::lock_guard<std::mutex> lock(g_listenerLock);
  if (g_listener == nullptr) return;
  struct Reentry {
    Reentry() { t_handingOver = true; }
    ~Reentry() { t_handingOver = false; }
  } reentry;
  g_listener(entry, g_context);
}

}  // namespace kvtr::format
