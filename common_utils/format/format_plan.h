// A wide format walked once for checked formatting: the argument check
// records what its walk found (the literal text between directives, each
// directive with its star values applied, and the argument it examined),
// and the bounded formatter emits from that record instead of reading the
// format and the argument list a second time. The formatter takes exactly
// the arguments the check examined, because they are the same values.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "common_utils/format/format_directive.h"
#include "platform/wide.h"

namespace kvtr::format {

// One directive as the formatter emits it.
struct ConversionStep {
  PieceKind kind;       // kConversion or kPercent
  ArgType type;         // kConversion: the argument's type
  Directive directive;  // star values applied
  uint64_t bits;        // kConversion: the argument, as FetchArgumentBits returns it
};

struct PlannedConversion {
  const wchar* literal;  // the format text before the directive's '%'
  size_t literalLength;
  ConversionStep step;
};

// Fixed capacity and on the stack; nothing is initialised until the walk
// records it, so an unused slot costs nothing.
class FormatPlan {
 public:
  static constexpr int kCapacity = 16;

  FormatPlan() = default;
  FormatPlan(const FormatPlan&) = delete;
  FormatPlan& operator=(const FormatPlan&) = delete;

  // False when the format had more directives than the plan holds: the
  // recorded part is then not a whole format.
  bool complete() const { return complete_; }
  int size() const { return count_; }
  const PlannedConversion& operator[](int index) const {
    return *std::launder(reinterpret_cast<const PlannedConversion*>(storage_) + index);
  }
  const wchar* tail() const { return tail_; }
  size_t tailLength() const { return tailLength_; }

  // For the walk that fills the plan: where the conversions go (kCapacity
  // slots and a spare one), and what it found once it reached the end of
  // the format.
  PlannedConversion* slots() { return std::launder(reinterpret_cast<PlannedConversion*>(storage_)); }
  void Finish(int count, bool complete, const wchar* tail, const wchar* tailEnd) {
    count_ = count;
    complete_ = complete;
    tail_ = tail;
    tailLength_ = static_cast<size_t>(tailEnd - tail);
  }

 private:
  static_assert(std::is_trivially_copyable_v<PlannedConversion> &&
                std::is_trivially_destructible_v<PlannedConversion>);

  int count_ = 0;
  bool complete_ = true;
  const wchar* tail_ = nullptr;
  size_t tailLength_ = 0;
  // One slot more than the capacity: the walk parses directives past the
  // capacity there.
  alignas(PlannedConversion) unsigned char storage_[(kCapacity + 1) * sizeof(PlannedConversion)];
};

// ValidateLogArguments (same verdicts, same rejected entries) that also
// fills `plan` from its walk. The plan means something only when the
// result is true.
bool ValidateAndPlan(int level, const wchar* format, va_list args, int eventId, const wchar* user,
                     bool wideConventions, FormatPlan& plan);

// Formats from a complete plan. For a plan made with wide conventions the
// text and result are those of FormatBounded(buffer, count, format, args)
// for the format and arguments the plan was made from.
int FormatPlanned(wchar* buffer, size_t count, const FormatPlan& plan);

}  // namespace kvtr::format
