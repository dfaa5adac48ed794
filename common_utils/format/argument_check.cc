#include "common_utils/format/argument_check.h"

#include <cstdint>
#include <new>

#include "common_utils/format/argument_slot.h"
#include "common_utils/format/format_directive.h"
#include "common_utils/format/rejected_entry.h"
#include "platform/win32.h"

namespace kvtr::format {
namespace {

// Walks the conversions of `format` as the formatter does and calls
// visit(type, number) for every argument they take (number is 1-based); a
// false from visit stops the walk. True when the whole format was walked
// and every piece is one checked callers may use.
template <typename Visit>
bool WalkArguments(const wchar* format, bool wideConventions, Visit&& visit) {
  int number = 0;
  const wchar* p = format;
  for (;;) {
    p = FindConversionOrEnd(p);
    if (*p == 0) return true;
    ++p;
    Directive directive;
    bool afterStar = false;
    for (;;) {
      const Piece<wchar> piece = ParsePiece(p, afterStar, wideConventions, directive);
      if (piece.kind == PieceKind::kInvalid || !piece.checked) return false;
      p = piece.next;
      if (piece.kind == PieceKind::kPercent) break;
      if (!visit(piece.type, ++number)) return false;
      if (piece.kind != PieceKind::kStar) break;
      afterStar = true;
    }
  }
}

// Memory found readable during one check, by 4 KiB block. Protection is
// set per page and pages are at least 4 KiB, so once one byte of a block is
// known to be readable, all of it is: each block is probed once per check
// instead of once per argument, with the same verdicts as probing every
// argument. The check's own stack frame is readable from the start. Nothing
// outlives the check.
class ReadableMemory {
 public:
  explicit ReadableMemory(const void* anchor, const void* otherAnchor) {
    Add(reinterpret_cast<uintptr_t>(anchor));
    if (otherAnchor != nullptr) Add(reinterpret_cast<uintptr_t>(otherAnchor));
  }

  // IsBadReadPtr(address, bytes) == FALSE, for a few bytes.
  bool Readable(const void* address, size_t bytes) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(address);
    const uintptr_t last = first + bytes - 1;
    if (Known(first) && Known(last)) return true;
    if (IsBadReadPtr(address, bytes)) return false;
    Add(first);
    Add(last);
    return true;
  }

  // IsBadStringPtr(text, maxUnits) == FALSE: readable up to its terminator
  // or maxUnits units. A window that fits in a readable block needs no scan.
  template <typename Unit>
  bool TextReadable(const Unit* text, size_t maxUnits) {
    const Unit* p = text;
    size_t remaining = maxUnits;
    while (remaining > 0) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(p);
      const size_t inBlock = (Block(at) + kBlock - at) / sizeof(Unit);
      if (inBlock == 0) {  // a unit straddling two blocks
        if (!Readable(p, sizeof(Unit))) return false;
        if (*p == 0) return true;
        ++p;
        --remaining;
        continue;
      }
      if (!Readable(p, 1)) return false;
      if (inBlock >= remaining) return true;
      for (size_t i = 0; i < inBlock; ++i) {
        if (p[i] == 0) return true;
      }
      p += inBlock;
      remaining -= inBlock;
    }
    return true;
  }

 private:
  static constexpr uintptr_t kBlock = 4096;
  static constexpr int kSlots = 8;

  static uintptr_t Block(uintptr_t address) { return address & ~(kBlock - 1); }
  bool Known(uintptr_t address) const {
    const uintptr_t block = Block(address);
    for (int i = 0; i < count_; ++i) {
      if (blocks_[i] == block) return true;
    }
    return false;
  }
  void Add(uintptr_t address) {
    const uintptr_t block = Block(address);
    if (Known(block)) return;
    if (count_ < kSlots) {
      blocks_[count_++] = block;
    } else {
      blocks_[next_] = block;  // forgetting a block only costs a probe
      next_ = (next_ + 1) % kSlots;
    }
  }

  uintptr_t blocks_[kSlots];
  int count_ = 0;
  int next_ = 0;
};

struct Examined {
  ArgType type;
  bool usable;
  const void* unreadableAddress;
  uint64_t bits;
};

// Takes the next argument of `type` from `list` and examines it.
Examined Examine(va_list& list, ArgType type, ReadableMemory& memory) {
  const ArgClass cls = ClassOf(type);
  if (cls != ArgClass::kPointer) {
    const void* const slot = NextArgumentSlot(list, cls);
    if (slot == nullptr) {
      // No known slot layout on this ABI: the fetched copy is what gets
      // checked, so the value check cannot fail here.
      const uint64_t bits = FetchArgumentBits(list, cls);
      return {type, IsBadReadPtr(&bits, ValueBytes(type)) == FALSE, nullptr, bits};
    }
    if (!memory.Readable(slot, ValueBytes(type))) return {type, false, slot, 0};
    return {type, true, nullptr, FetchArgumentBits(list, cls)};
  }

  const void* const pointer = va_arg(list, const void*);
  const uint64_t bits = reinterpret_cast<uintptr_t>(pointer);
  switch (type) {
    case ArgType::kIntPointer:
      if (pointer == nullptr) return {type, false, nullptr, bits};
      if (!memory.Readable(pointer, sizeof(int32_t))) return {type, false, pointer, bits};
      break;
    case ArgType::kCharPointer:
      if (pointer != nullptr && !memory.TextReadable(static_cast<const char*>(pointer), kCheckedTextLength)) {
        return {type, false, pointer, bits};
      }
      break;
    case ArgType::kWcharPointer:
      if (pointer != nullptr && !memory.TextReadable(static_cast<const wchar*>(pointer), kCheckedTextLength)) {
        return {type, false, pointer, bits};
      }
      break;
    default:  // void*: printed, never followed
      break;
  }
  return {type, true, nullptr, bits};
}

// Builds the rejected entry and hands it over. The arguments that passed
// are taken again from a fresh copy of the list (they were readable a
// moment ago); the failing one, if any, is as the check found it.
[[gnu::noinline, gnu::cold]] void Reject(int level, const wchar* format, bool formatReadable, va_list args,
                                         int eventId, const wchar* user, bool wideConventions, int examined,
                                         const Examined* failing) {
  RejectedEntry entry;
  entry.level = level;
  entry.format = format;
  entry.formatReadable = formatReadable;
  entry.eventId = eventId;
  entry.user = user;
  entry.argumentCount = examined;
  try {
    entry.arguments.reserve(static_cast<size_t>(examined));
    const int passed = failing != nullptr ? examined - 1 : examined;
    if (passed > 0) {
      ArgumentCursor cursor(args);
      WalkArguments(format, wideConventions, [&](ArgType type, int number) {
        if (number > passed) return false;
        entry.arguments.push_back(
            {number, type, true, nullptr, FetchArgumentBits(cursor.list, ClassOf(type))});
        return true;
      });
    }
    if (failing != nullptr) {
      entry.arguments.push_back({examined, failing->type, false, failing->unreadableAddress, failing->bits});
    }
  } catch (const std::bad_alloc&) {
    entry.arguments.clear();  // the entry still says how many were examined
  }
  HandOverRejectedEntry(entry);
}

}  // namespace

bool ValidateLogArguments(int level, const wchar* format, va_list args, int eventId, const wchar* user,
                          bool wideConventions) {
  int examined = 0;
  Examined failing{ArgType::kInt, true, nullptr, 0};
  {
    ArgumentCursor cursor(args);
    ReadableMemory memory(&cursor, ListObject(args));
    if (format == nullptr || !memory.TextReadable(format, kCheckedTextLength)) {
      Reject(level, format, false, args, eventId, user, wideConventions, 0, nullptr);
      return false;
    }
    const bool accepted = WalkArguments(format, wideConventions, [&](ArgType type, int number) {
      examined = number;
      failing = Examine(cursor.list, type, memory);
      return failing.usable;
    });
    if (accepted) return true;
  }
  Reject(level, format, true, args, eventId, user, wideConventions, examined,
         failing.usable ? nullptr : &failing);
  return false;
}

}  // namespace kvtr::format
