#include "common_utils/report/argument_check.h"

#include <cstdint>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common_utils/format/argument_slot.h"
#include "common_utils/format/format_directive.h"
#include "common_utils/format/format_plan.h"
#include "common_utils/report/rejected_entry.h"
#include "platform/win32.h"

namespace kvtr::format {
namespace {

// What a walk records besides examining the arguments: nothing
// (NoRecord), or a plan for the formatter (PlanRecorder). NextStep gives the
// step a directive is parsed into, fresh, and takes the literal text before
// the directive; Commit keeps the step; End takes the text after the last
// directive.
class NoRecord {
 public:
  ConversionStep& NextStep(const wchar*, const wchar*) { return *new (&step_) ConversionStep; }
  void Commit() {}
  void End(const wchar*, const wchar*) {}

 private:
  ConversionStep step_;
};

class PlanRecorder {
 public:
  explicit PlanRecorder(FormatPlan& plan)
      : plan_(plan), next_(plan.slots()), spare_(plan.slots() + FormatPlan::kCapacity) {}

  ConversionStep& NextStep(const wchar* literal, const wchar* literalEnd) {
    PlannedConversion* const planned = new (next_) PlannedConversion;
    planned->literal = literal;
    planned->literalLength = static_cast<size_t>(literalEnd - literal);
    return planned->step;
  }
  void Commit() {
    if (next_ != spare_)
      ++next_;
    else
      complete_ = false;  // parsed and checked in the spare slot, not kept
  }
  void End(const wchar* literal, const wchar* literalEnd) {
    plan_.Finish(static_cast<int>(next_ - plan_.slots()), complete_, literal, literalEnd);
  }

 private:
  FormatPlan& plan_;
  PlannedConversion* next_;
  PlannedConversion* const spare_;
  bool complete_ = true;
};

// Walks the conversions of `format` as the formatter does and calls
// visit(type, number, bits) for every argument they take (number is
// 1-based; visit sets bits to the argument it took); a false from visit
// stops the walk. Every directive, with its star values applied, and the
// literal text around them go to `record`. True when the whole format was
// walked and every piece is one checked callers may use. `number` ends as
// the number of arguments visited.
template <typename Visit, typename Record>
[[gnu::always_inline]] inline bool WalkArguments(const wchar* format, bool wideConventions, Visit&& visit,
                                                 Record& record, int& number) {
  number = 0;
  const wchar* p = format;
  for (;;) {
    const wchar* const literal = p;
    p = FindConversionOrEnd(p);
    if (*p == 0) {
      record.End(literal, p);
      return true;
    }
    ConversionStep& step = record.NextStep(literal, p);
    ++p;
    bool afterStar = false;
    for (;;) {
      const Piece<wchar> piece = ParsePiece(p, afterStar, wideConventions, step.directive);
      if (piece.kind == PieceKind::kInvalid || !piece.checked) return false;
      p = piece.next;
      step.kind = piece.kind;
      step.type = piece.type;
      step.bits = 0;
      if (piece.kind != PieceKind::kPercent) {
        if (!visit(piece.type, ++number, step.bits)) return false;
        if (piece.kind == PieceKind::kStar) {
          ApplyStar(step.directive, static_cast<int>(static_cast<uint32_t>(step.bits)));
          afterStar = true;
          continue;
        }
      }
      record.Commit();
      break;
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
  // `listAnchor` (if any) first: the caller's va_list object, beside the
  // arguments themselves, which are looked up most.
  explicit ReadableMemory(const void* anchor, const void* listAnchor) {
    const uintptr_t block = Block(reinterpret_cast<uintptr_t>(anchor));
    if (listAnchor != nullptr) Insert(Block(reinterpret_cast<uintptr_t>(listAnchor)));
    if (!Known(block)) Insert(block);
  }

  // IsBadReadPtr(address, bytes) == FALSE, for a few bytes.
  bool Readable(const void* address, size_t bytes) {
    const uintptr_t first = Block(reinterpret_cast<uintptr_t>(address));
    const uintptr_t last = Block(reinterpret_cast<uintptr_t>(address) + bytes - 1);
    const bool firstKnown = Known(first);
    if (firstKnown && (last == first || Known(last))) return true;
    return Probe(address, bytes, firstKnown, first, last);
  }

  // Readable up to its terminator, however far that is (IsBadStringPtr
  // without a limit): the formatter reads a text whole, so every unit of it
  // must be proved readable. A text that ends in a block already known
  // needs no probe.
  template <typename Unit>
  [[gnu::always_inline]] bool TextReadable(const Unit* text) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(text);
    const size_t inBlock = (Block(at) + kBlock - at) / sizeof(Unit);
    if (inBlock > 0 && Known(Block(at)) && HasTerminator(text, inBlock)) return true;
    return ScanText(text);
  }

 private:
  static constexpr uintptr_t kBlock = 4096;
  static constexpr int kSlots = 8;

  static uintptr_t Block(uintptr_t address) { return address & ~(kBlock - 1); }
  bool Known(uintptr_t block) const {
    for (int i = 0; i < count_; ++i) {
      if (blocks_[i] == block) return true;
    }
    return false;
  }
  // A block not known yet.
  void Insert(uintptr_t block) {
    if (count_ < kSlots) {
      blocks_[count_++] = block;
    } else {
      blocks_[next_] = block;  // forgetting a block only costs a probe
      next_ = (next_ + 1) % kSlots;
    }
  }
  // Probes [address, address + bytes) and, when readable, keeps the blocks
  // it spans, `first` to `last`.
  bool Probe(const void* address, size_t bytes, bool firstKnown, uintptr_t first, uintptr_t last) {
    if (IsBadReadPtr(address, bytes)) return false;
    if (!firstKnown) Insert(first);
    if (last != first && !Known(last)) Insert(last);
    return true;
  }

  // TextReadable block by block, up to the terminator.
  template <typename Unit>
  [[gnu::noinline]] bool ScanText(const Unit* p) {
    for (;;) {
      const uintptr_t at = reinterpret_cast<uintptr_t>(p);
      const size_t inBlock = (Block(at) + kBlock - at) / sizeof(Unit);
      if (inBlock == 0) {  // a unit straddling two blocks
        if (!Readable(p, sizeof(Unit))) return false;
        if (*p == 0) return true;
        ++p;
        continue;
      }
      if (!Readable(p, 1)) return false;
      if (HasTerminator(p, inBlock)) return true;
      p += inBlock;
    }
  }

  // Whether one of the `units` units at `p` is 0; they lie in one readable
  // block.
  template <typename Unit>
  [[gnu::no_sanitize_address]] static bool HasTerminator(const Unit* p, size_t units) {
#if defined(__SSE2__)
    // Aligned 16-byte chunks of a readable block are readable: test whole
    // chunks, the bytes outside [p, p + units) masked off.
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    if (start % sizeof(Unit) == 0) {
      const uintptr_t end = start + units * sizeof(Unit);
      const __m128i zero = _mm_setzero_si128();
      for (uintptr_t chunk = start & ~uintptr_t{15}; chunk < end; chunk += 16) {
        const __m128i data = _mm_load_si128(reinterpret_cast<const __m128i*>(chunk));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(sizeof(Unit) == 1 ? _mm_cmpeq_epi8(data, zero) : _mm_cmpeq_epi16(data, zero)));
        if (chunk < start) mask &= ~0u << (start - chunk);
        if (end - chunk < 16) mask &= (1u << (end - chunk)) - 1;
        if (mask != 0) return true;
      }
      return false;
    }
#endif
    for (size_t i = 0; i < units; ++i) {
      if (p[i] == 0) return true;
    }
    return false;
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

// Takes the next argument of `type` from `list` and examines it: true when
// it is usable. `bits` gets the argument (0 when its slot was unreadable);
// on failure `unreadable` gets the address found unreadable (null when
// none was).
[[gnu::always_inline]] inline bool Examine(va_list& list, ArgType type, ReadableMemory& memory, uint64_t& bits,
                                           const void*& unreadable) {
  const ArgClass cls = ClassOf(type);
  if (cls != ArgClass::kPointer) {
    const void* const slot = NextArgumentSlot(list, cls);
    if (slot == nullptr) {
      // No known slot layout on this ABI: the fetched copy is what gets
      // checked, so the value check cannot fail here.
      bits = FetchArgumentBits(list, cls);
      unreadable = nullptr;
      return IsBadReadPtr(&bits, ValueBytes(type)) == FALSE;
    }
    if (!memory.Readable(slot, ValueBytes(type))) {
      bits = 0;
      unreadable = slot;
      return false;
    }
    bits = FetchArgumentBits(list, cls);
    return true;
  }

  const void* const pointer = va_arg(list, const void*);
  bits = reinterpret_cast<uintptr_t>(pointer);
  unreadable = pointer;
  switch (type) {
    case ArgType::kIntPointer:
      if (pointer == nullptr) return false;  // no address was unreadable: `unreadable` is null
      return memory.Readable(pointer, sizeof(int32_t));
    case ArgType::kCharPointer:
      return pointer == nullptr || memory.TextReadable(static_cast<const char*>(pointer));
    case ArgType::kWcharPointer:
      return pointer == nullptr || memory.TextReadable(static_cast<const wchar*>(pointer));
    default:  // void*: printed, never followed
      return true;
  }
}

// Builds the rejected entry and hands it over. The arguments that passed
// are taken again from a fresh copy of the list (they were readable a
// moment ago); the failing one, if any, is as the check found it.
[[gnu::noinline, gnu::cold]] void Reject(int level, const wchar* format, bool formatReadable, va_list args, int eventId,
                                         const wchar* user, bool wideConventions, int examined,
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
      NoRecord record;
      int walked;
      WalkArguments(
          format, wideConventions,
          [&](ArgType type, int number, uint64_t& bits) {
            if (number > passed) return false;
            bits = FetchArgumentBits(cursor.list, ClassOf(type));
            entry.arguments.push_back({number, type, true, nullptr, bits});
            return true;
          },
          record, walked);
    }
    if (failing != nullptr) {
      entry.arguments.push_back({examined, failing->type, false, failing->unreadableAddress, failing->bits});
    }
  } catch (const std::bad_alloc&) {
    entry.arguments.clear();  // the entry still says how many were examined
  }
  HandOverRejectedEntry(entry);
}

// The check, with what its walk found going to `record`.
template <typename Record>
[[gnu::always_inline]] inline bool Check(int level, const wchar* format, va_list args, int eventId, const wchar* user,
                                         bool wideConventions, Record& record) {
  int examined = 0;
  Examined failing{ArgType::kInt, true, nullptr, 0};
  {
    ArgumentCursor cursor(args);
    ReadableMemory memory(&cursor, ListObject(args));
    if (format == nullptr || !memory.TextReadable(format)) {
      Reject(level, format, false, args, eventId, user, wideConventions, 0, nullptr);
      return false;
    }
    const bool accepted = WalkArguments(
        format, wideConventions,
        [&](ArgType type, int, uint64_t& bits) {
          const void* unreadable;
          if (Examine(cursor.list, type, memory, bits, unreadable)) return true;
          failing = {type, false, unreadable, bits};
          return false;
        },
        record, examined);
    if (accepted) return true;
  }
  Reject(level, format, true, args, eventId, user, wideConventions, examined, failing.usable ? nullptr : &failing);
  return false;
}

}  // namespace

bool ValidateLogArguments(int level, const wchar* format, va_list args, int eventId, const wchar* user,
                          bool wideConventions) {
  NoRecord record;
  return Check(level, format, args, eventId, user, wideConventions, record);
}

bool ValidateAndPlan(int level, const wchar* format, va_list args, int eventId, const wchar* user, bool wideConventions,
                     FormatPlan& plan) {
  PlanRecorder record(plan);
  return Check(level, format, args, eventId, user, wideConventions, record);
}

}  // namespace kvtr::format
