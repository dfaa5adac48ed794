#include "common_utils/format/rejected_entry.h"

#include "common_utils/format/listener_slot.h"

namespace kvtr::format {
namespace {

ListenerSlot<RejectedEntryListener> g_listener;

}  // namespace

void SetRejectedEntryListener(RejectedEntryListener listener, void* context) { g_listener.Set(listener, context); }

// Rejections are rare: calling the listener under the slot's lock costs
// nothing.
void HandOverRejectedEntry(const RejectedEntry& entry) { g_listener.Call(entry); }

}  // namespace kvtr::format
