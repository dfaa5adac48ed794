// A log entry whose format or arguments the argument check rejected, and
// the single place where such an entry is handed to the diagnostic logger.
#pragma once

#include <cstdint>
#include <vector>

#include "common_utils/format/format_directive.h"
#include "platform/wide.h"

namespace qel {
class QELString;
}

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

// Pointers are the caller's own and valid only while the entry is reported.
// `format` is never read when `formatReadable` is false.
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

// The "Invalid log entry" report of `entry`: level, event id, format, user
// text, the number of arguments examined and one "arg[n](type)=value "
// item for each.
void BuildRejectedEntryReport(const RejectedEntry& entry, qel::QELString& report);

// Hands the report of a rejected entry to the process's log receiver at
// level 5, which passes every level filter.
void HandOverRejectedEntry(const RejectedEntry& entry);

}  // namespace kvtr::format
