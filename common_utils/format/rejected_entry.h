// A log entry whose format or arguments the argument check rejected, and
// the single place where such an entry is handed to the diagnostic logger.
#pragma once

#include <cstdint>
#include <vector>

#include "common_utils/format/format_directive.h"
#include "platform/wide.h"

namespace kvtr::format {

// One argument the check examined, in list order.
struct RejectedArgument {
  int number = 0;  // 1-based position in the argument list
  ArgType type = ArgType::kInt;
  bool usable = false;
  // The slot or pointed-to address found unreadable; null when none was
  // (including a null %n pointer).
  const void* unreadableAddress = nullptr;
  // Value types: the bits of the promoted value (an int slot zero-extended,
  // a double's IEEE bits); 0 when the slot itself was unreadable. Pointer
  // types: the pointer.
  uint64_t bits = 0;

  const char* TypeName() const { return ArgTypeName(type); }
  const void* pointer() const { return reinterpret_cast<const void*>(static_cast<uintptr_t>(bits)); }
};

// Pointers are the caller's own and valid only while the entry is handed
// over; a listener that keeps anything copies it. `format` is never read
// when `formatReadable` is false.
struct RejectedEntry {
  int level = 0;
  const wchar* format = nullptr;  // null when the caller passed none
  bool formatReadable = false;
  int eventId = 0;
  const wchar* user = nullptr;
  // Arguments examined, the failing one included; 0 when the format itself
  // was rejected before any argument.
  int argumentCount = 0;
  std::vector<RejectedArgument> arguments;
};

using RejectedEntryListener = void (*)(const RejectedEntry& entry, void* context);

// Installs the process-wide receiver of rejected entries (null: entries are
// dropped). Once it returns, the previous listener is not running and will
// not be called again. A listener must not call it.
void SetRejectedEntryListener(RejectedEntryListener listener, void* context);

// Hands a rejected entry to the diagnostic logger. There is no diagnostic
// logger in this code base yet: the entry goes to the listener installed
// with SetRejectedEntryListener, and is dropped when there is none.
void HandOverRejectedEntry(const RejectedEntry& entry);

}  // namespace kvtr::format
