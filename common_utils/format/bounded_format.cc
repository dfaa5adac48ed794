#include "common_utils/format/bounded_format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "common_utils/format/argument_slot.h"
#include "common_utils/format/format_directive.h"
#include "common_utils/format/format_plan.h"
#include "platform/win32.h"

namespace kvtr::format {
namespace {

// The output buffer: keeps counting past `count` so that the caller learns
// whether the text was cut (and a measuring call learns the length).
template <typename Char>
class Sink {
 public:
  Sink(Char* buffer, size_t count) : buffer_(buffer), count_(count) {}

  void Put(Char c) {
    if (pos_ < count_) buffer_[pos_] = c;
    ++pos_;
  }
  // Text of the output's width, or of the other width when all ASCII
  // (digits, exponents, "(null)", text already seen to be ASCII).
  template <typename Unit>
  void Put(const Unit* text, size_t length) {
    if (pos_ < count_) {
      const size_t fit = Fit(length);
      if constexpr (std::is_same_v<Unit, Char>) {
        std::memcpy(buffer_ + pos_, text, fit * sizeof(Char));
      } else {
        for (size_t i = 0; i < fit; ++i) {
          buffer_[pos_ + i] = static_cast<Char>(static_cast<std::make_unsigned_t<Unit>>(text[i]));
        }
      }
    }
    pos_ += length;
  }
  void Fill(char c, size_t length) {
    if (pos_ < count_) std::fill_n(buffer_ + pos_, Fit(length), static_cast<Char>(c));
    pos_ += length;
  }

  size_t length() const { return pos_; }
  bool cut() const { return pos_ > count_; }

 private:
  size_t Fit(size_t length) const { return std::min(length, count_ - pos_); }

  Char* buffer_;
  size_t count_;
  size_t pos_ = 0;
};

// One converted field, laid out as
//   [spaces][prefix][zeros][leading zeros][body][trailing zeros][suffix][spaces]
// where the padding to the width is spaces, or zeros after the prefix.
struct Field {
  const char* prefix = "";
  size_t prefixLength = 0;
  size_t leadingZeros = 0;
  const char* body = "";
  size_t bodyLength = 0;
  size_t trailingZeros = 0;
  const char* suffix = "";
  size_t suffixLength = 0;
  bool zeroPad = false;
};

size_t Padding(const Directive& directive, size_t length) {
  const size_t width = static_cast<size_t>(directive.width);
  return width > length ? width - length : 0;
}

template <typename Char>
void Emit(Sink<Char>& out, const Directive& directive, const Field& field) {
  const bool left = (directive.flags & kFlagLeft) != 0;
  const size_t pad = Padding(directive, field.prefixLength + field.leadingZeros + field.bodyLength +
                                       field.trailingZeros + field.suffixLength);
  if (!left && !field.zeroPad) out.Fill(' ', pad);
  out.Put(field.prefix, field.prefixLength);
  if (!left && field.zeroPad) out.Fill('0', pad);
  out.Fill('0', field.leadingZeros);
  out.Put(field.body, field.bodyLength);
  out.Fill('0', field.trailingZeros);
  out.Put(field.suffix, field.suffixLength);
  if (left) out.Fill(' ', pad);
}

// Text padded to the width (with zeros for the 0 flag, as the Microsoft CRT
// does for every conversion). Text of the other width must be ASCII.
template <typename Char, typename Unit>
void EmitText(Sink<Char>& out, const Directive& directive, const Unit* text, size_t length) {
  const bool left = (directive.flags & kFlagLeft) != 0;
  const size_t pad = Padding(directive, length);
  if (!left) out.Fill((directive.flags & kFlagZero) ? '0' : ' ', pad);
  out.Put(text, length);
  if (left) out.Fill(' ', pad);
}

// ---- integers ----

template <typename Char>
void EmitInteger(Sink<Char>& out, const Directive& directive, uint64_t magnitude, bool negative, char conversion) {
  char digits[24];
  char* const end = digits + sizeof digits;
  char* p = end;
  const bool nonzero = magnitude != 0;
  if (conversion == 'o') {
    for (; magnitude != 0; magnitude >>= 3) *--p = static_cast<char>('0' + (magnitude & 7));
  } else if (conversion == 'x' || conversion == 'X') {
    const char* const hex = conversion == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    for (; magnitude != 0; magnitude >>= 4) *--p = hex[magnitude & 15];
  } else {
    for (; magnitude != 0; magnitude /= 10) *--p = static_cast<char>('0' + magnitude % 10);
  }

  Field field;
  field.body = p;
  field.bodyLength = static_cast<size_t>(end - p);
  const size_t precision = directive.precision < 0 ? 1 : static_cast<size_t>(directive.precision);
  if (precision > field.bodyLength) field.leadingZeros = precision - field.bodyLength;

  char prefix[2];
  if (conversion == 'd' || conversion == 'i') {
    if (negative) prefix[field.prefixLength++] = '-';
    else if (directive.flags & kFlagPlus) prefix[field.prefixLength++] = '+';
    else if (directive.flags & kFlagSpace) prefix[field.prefixLength++] = ' ';
  } else if (directive.flags & kFlagAlternate) {
    // Octal starts with a 0, also for a 0 that a zero precision leaves without digits.
    if (conversion == 'o' && field.leadingZeros == 0) field.leadingZeros = 1;
    if ((conversion == 'x' || conversion == 'X') && nonzero) {
      prefix[0] = '0';
      prefix[1] = conversion;
      field.prefixLength = 2;
    }
  }
  field.prefix = prefix;
  // The 0 flag is ignored with a precision, as for every integer conversion.
  field.zeroPad = (directive.flags & kFlagZero) != 0 && directive.precision < 0;
  Emit(out, directive, field);
}

// The argument of one conversion, from where the formatter takes it: a
// va_list (ListArguments) or what the argument check took from that list
// (PlannedArgument). Each conversion asks for its argument's class.
struct ListArguments {
  va_list& list;

  int Int() { return va_arg(list, int); }
  long long Int64() { return va_arg(list, long long); }
  double Double() { return va_arg(list, double); }
  const void* Pointer() { return va_arg(list, const void*); }
};

struct PlannedArgument {
  uint64_t bits;  // as FetchArgumentBits returns them

  int Int() const { return static_cast<int>(static_cast<uint32_t>(bits)); }
  long long Int64() const { return static_cast<long long>(bits); }
  double Double() const { return std::bit_cast<double>(bits); }
  const void* Pointer() const { return reinterpret_cast<const void*>(static_cast<uintptr_t>(bits)); }
};

template <typename Arguments>
int64_t SignedArgument(ArgType type, Length length, Arguments&& args) {
  if (ClassOf(type) == ArgClass::kInt64) return args.Int64();
  const int value = args.Int();
  if (length == Length::kShort) return static_cast<short>(value);
  if (length == Length::kChar) return static_cast<signed char>(value);
  return value;
}

template <typename Arguments>
uint64_t UnsignedArgument(ArgType type, Length length, Arguments&& args) {
  if (ClassOf(type) == ArgClass::kInt64) return static_cast<unsigned long long>(args.Int64());
  const unsigned value = static_cast<unsigned>(args.Int());
  if (length == Length::kShort) return static_cast<unsigned short>(value);
  if (length == Length::kChar) return static_cast<unsigned char>(value);
  return value;
}

// ---- floating point ----

// Digits beyond these precisions are zeros for every double (its exact
// decimal expansion has at most 1074 fraction digits and 767 significant
// ones), so larger precisions are generated this far and padded.
constexpr int kMaxFixedPrecision = 1100;
constexpr int kMaxScientificPrecision = 800;
constexpr int kMaxHexPrecision = 13;
constexpr size_t kFloatChars = 320 + kMaxFixedPrecision + 16;

// Exponent of a to_chars scientific text ("d.ddde+XX").
int DecimalExponent(const char* exponent, const char* end) {
  const bool negative = exponent[1] == '-';
  int value = 0;
  for (const char* p = exponent + 2; p < end; ++p) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

// Inserts a '.' at `at` (for the # flag with nothing after the point).
void InsertPoint(char* text, size_t& length, size_t at) {
  std::memmove(text + at + 1, text + at, length - at);
  text[at] = '.';
  ++length;
}

template <typename Char>
void EmitFloat(Sink<Char>& out, const Directive& directive, char conversion, double value) {
  const bool upper = conversion == 'E' || conversion == 'F' || conversion == 'G' || conversion == 'A';
  const bool alternate = (directive.flags & kFlagAlternate) != 0;
  const char lower = static_cast<char>(upper ? conversion - 'A' + 'a' : conversion);

  char prefix[3];
  Field field;
  if (std::signbit(value)) prefix[field.prefixLength++] = '-';
  else if (directive.flags & kFlagPlus) prefix[field.prefixLength++] = '+';
  else if (directive.flags & kFlagSpace) prefix[field.prefixLength++] = ' ';
  field.prefix = prefix;

  if (!std::isfinite(value)) {
    field.body = std::isnan(value) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
    field.bodyLength = 3;
    Emit(out, directive, field);
    return;
  }
  const double magnitude = std::fabs(value);
  field.zeroPad = (directive.flags & kFlagZero) != 0;

  char text[kFloatChars];
  char* const limit = text + sizeof text;
  size_t length = 0;
  size_t mantissaEnd = 0;  // where the exponent (if any) starts
  size_t zeros = 0;        // zeros owed at mantissaEnd

  if (lower == 'f') {
    const int precision = directive.precision < 0 ? 6 : directive.precision;
    const int generated = std::min(precision, kMaxFixedPrecision);
    length = static_cast<size_t>(
        std::to_chars(text, limit, magnitude, std::chars_format::fixed, generated).ptr - text);
    zeros = static_cast<size_t>(precision - generated);
    mantissaEnd = length;
    if (precision == 0 && alternate) InsertPoint(text, length, mantissaEnd++);
  } else if (lower == 'e') {
    const int precision = directive.precision < 0 ? 6 : directive.precision;
    const int generated = std::min(precision, kMaxScientificPrecision);
    length = static_cast<size_t>(
        std::to_chars(text, limit, magnitude, std::chars_format::scientific, generated).ptr - text);
    zeros = static_cast<size_t>(precision - generated);
    mantissaEnd = static_cast<size_t>(std::find(text, text + length, 'e') - text);
    if (precision == 0 && alternate) InsertPoint(text, length, mantissaEnd++);
  } else if (lower == 'g') {
    // P significant digits: the style of %e when the exponent X of the value
    // rounded to P digits is below -4 or at least P, else %f with P-1-X
    // decimals; without # trailing zeros and a bare point are dropped.
    const int significant = directive.precision < 0 ? 6 : std::max(directive.precision, 1);
    const int generated = std::min(significant - 1, kMaxScientificPrecision);
    length = static_cast<size_t>(
        std::to_chars(text, limit, magnitude, std::chars_format::scientific, generated).ptr - text);
    mantissaEnd = static_cast<size_t>(std::find(text, text + length, 'e') - text);
    const int exponent = DecimalExponent(text + mantissaEnd, text + length);
    if (exponent >= -4 && exponent < significant) {
      const int decimals = significant - 1 - exponent;
      const int fixedGenerated = std::min(decimals, kMaxFixedPrecision);
      length = static_cast<size_t>(
          std::to_chars(text, limit, magnitude, std::chars_format::fixed, fixedGenerated).ptr - text);
      mantissaEnd = length;
      zeros = static_cast<size_t>(decimals - fixedGenerated);
    } else {
      zeros = static_cast<size_t>(significant - 1 - generated);
    }
    const bool hasPoint = std::find(text, text + mantissaEnd, '.') != text + mantissaEnd;
    if (!alternate) {
      zeros = 0;
      size_t kept = mantissaEnd;
      if (hasPoint) {
        while (text[kept - 1] == '0') --kept;
        if (text[kept - 1] == '.') --kept;
      }
      std::memmove(text + kept, text + mantissaEnd, length - mantissaEnd);
      length -= mantissaEnd - kept;
      mantissaEnd = kept;
    } else if (!hasPoint) {
      InsertPoint(text, length, mantissaEnd++);
    }
  } else {  // 'a'
    const int precision = directive.precision < 0 ? kMaxHexPrecision : directive.precision;
    const int generated = std::min(precision, kMaxHexPrecision);
    length = static_cast<size_t>(
        std::to_chars(text, limit, magnitude, std::chars_format::hex, generated).ptr - text);
    zeros = static_cast<size_t>(precision - generated);
    mantissaEnd = static_cast<size_t>(std::find(text, text + length, 'p') - text);
    if (precision == 0 && alternate) InsertPoint(text, length, mantissaEnd++);
    prefix[field.prefixLength++] = '0';
    prefix[field.prefixLength++] = upper ? 'X' : 'x';
  }
  if (upper) {
    for (size_t i = 0; i < length; ++i) {
      if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    }
  }
  field.body = text;
  field.bodyLength = mantissaEnd;
  field.trailingZeros = zeros;
  field.suffix = text + mantissaEnd;
  field.suffixLength = length - mantissaEnd;
  Emit(out, directive, field);
}

// ---- text of the other width ----

// Converted text, on the stack when short and on the heap otherwise.
template <typename Unit>
class ConvertedText {
 public:
  Unit* Reserve(size_t length) {
    if (length <= kInline) return inline_;
    heap_.reset(new Unit[length]);
    return heap_.get();
  }

 private:
  static constexpr size_t kInline = 256;
  Unit inline_[kInline];
  std::unique_ptr<Unit[]> heap_;
};

// Wide text in the ANSI code page: unmappable characters become '?'. The
// UTF code pages take no default character.
const char* DefaultCharacter() {
  const UINT codePage = GetACP();
  return codePage == CP_UTF8 || codePage == CP_UTF7 ? nullptr : "?";
}

// Narrow (ANSI) text as wide text into `converted`; returns its length, or
// -1 when the code page cannot convert it.
int AnsiToWide(const char* text, size_t length, ConvertedText<wchar>& converted, wchar*& result) {
  if (length > INT_MAX) return -1;
  const int needed = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (needed <= 0) return -1;
  result = converted.Reserve(static_cast<size_t>(needed));
  const int written = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), result, needed);
  return written > 0 ? written : -1;
}

int WideToAnsi(const wchar* text, size_t length, ConvertedText<char>& converted, char*& result) {
  if (length > INT_MAX) return -1;
  const char* const defaultChar = DefaultCharacter();
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, defaultChar, nullptr);
  if (needed <= 0) return -1;
  result = converted.Reserve(static_cast<size_t>(needed));
  const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), result, needed,
                                          defaultChar, nullptr);
  return written > 0 ? written : -1;
}

// Length of a text up to its terminator or `precision` units (if any), and
// whether every unit is ASCII.
template <typename Unit>
size_t MeasureText(const Unit* text, int precision, bool& ascii) {
  const size_t limit = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
  size_t length = 0;
  unsigned high = 0;
  for (; length < limit && text[length] != 0; ++length) high |= static_cast<unsigned>(text[length]);
  ascii = high < 0x80;
  return length;
}

// %s/%S: the precision counts units of the argument's own text, which is
// converted to the output's width when it differs. Inlined into each
// formatting loop: %s is the most frequent conversion after %d.
template <typename Char>
[[gnu::always_inline]] inline bool EmitString(Sink<Char>& out, const Directive& directive, const void* argument,
                                              bool wideArgument) {
  if (argument == nullptr) {
    const size_t length = directive.precision < 0 ? 6 : std::min(6, directive.precision);
    EmitText(out, directive, "(null)", length);
    return true;
  }
  bool ascii = false;
  if (wideArgument == (sizeof(Char) == sizeof(wchar))) {
    const Char* text = static_cast<const Char*>(argument);
    EmitText(out, directive, text, MeasureText(text, directive.precision, ascii));
    return true;
  }
  if constexpr (sizeof(Char) == sizeof(wchar)) {
    const char* text = static_cast<const char*>(argument);
    const size_t length = MeasureText(text, directive.precision, ascii);
    if (ascii || length == 0) {
      EmitText(out, directive, text, length);
      return true;
    }
    ConvertedText<wchar> converted;
    wchar* wide = nullptr;
    const int wideLength = AnsiToWide(text, length, converted, wide);
    if (wideLength < 0) return false;
    EmitText(out, directive, wide, static_cast<size_t>(wideLength));
  } else {
    const wchar* text = static_cast<const wchar*>(argument);
    const size_t length = MeasureText(text, directive.precision, ascii);
    if (ascii || length == 0) {
      EmitText(out, directive, text, length);
      return true;
    }
    ConvertedText<char> converted;
    char* narrow = nullptr;
    const int narrowLength = WideToAnsi(text, length, converted, narrow);
    if (narrowLength < 0) return false;
    EmitText(out, directive, narrow, static_cast<size_t>(narrowLength));
  }
  return true;
}

// %c/%C: one character, converted to the output's width when it differs.
template <typename Char>
bool EmitCharacter(Sink<Char>& out, const Directive& directive, int argument, bool wideArgument) {
  if constexpr (sizeof(Char) == sizeof(wchar)) {
    wchar unit = static_cast<wchar>(argument);
    if (!wideArgument) {
      const char byte = static_cast<char>(argument);
      unit = static_cast<unsigned char>(byte);
      if (unit >= 0x80 && MultiByteToWideChar(CP_ACP, 0, &byte, 1, &unit, 1) != 1) return false;
    }
    EmitText(out, directive, &unit, 1);
  } else {
    char bytes[8] = {static_cast<char>(argument)};
    int length = 1;
    if (wideArgument) {
      const wchar unit = static_cast<wchar>(argument);
      if (unit >= 0x80) {
        length = WideCharToMultiByte(CP_ACP, 0, &unit, 1, bytes, sizeof bytes, DefaultCharacter(), nullptr);
        if (length <= 0) return false;
      } else {
        bytes[0] = static_cast<char>(unit);
      }
    }
    EmitText(out, directive, bytes, static_cast<size_t>(length));
  }
  return true;
}

// ---- one conversion ----

// Emits one conversion, taking its argument of `type` from `args`. False
// when the text cannot be converted to the output's width. Inlined into
// each formatting loop, so that a va_list argument is read where it is used.
template <typename Char, typename Arguments>
[[gnu::always_inline]] inline bool Convert(Sink<Char>& out, const Directive& directive, ArgType type,
                                           Arguments&& args) {
  switch (directive.conversion) {
    case 'd':
    case 'i': {
      const int64_t value = SignedArgument(type, directive.length, args);
      const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      EmitInteger(out, directive, magnitude, value < 0, directive.conversion);
      return true;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      EmitInteger(out, directive, UnsignedArgument(type, directive.length, args), false, directive.conversion);
      return true;
    case 'p': {
      // Upper-case hex, zero-padded to the pointer's width, without "0x".
      Directive pointer = directive;
      pointer.flags &= static_cast<uint8_t>(kFlagLeft);
      pointer.precision = 2 * sizeof(void*);
      EmitInteger(out, pointer, reinterpret_cast<uintptr_t>(args.Pointer()), false, 'X');
      return true;
    }
    case 'n':
      // Takes its pointer; writing through it is never done.
      (void)args.Pointer();
      return true;
    case 'c':
    case 'C':
      return EmitCharacter(out, directive, args.Int(), type == ArgType::kWchar);
    case 's':
    case 'S':
      return EmitString(out, directive, args.Pointer(), type == ArgType::kWcharPointer);
    default:  // e E f F g G a A
      EmitFloat(out, directive, directive.conversion, args.Double());
      return true;
  }
}

// ---- where the directives come from ----
//
// A source hands the formatting loop the literal text up to the next
// directive (Literal) and says whether that text was the last (AtEnd).
// Next then reads the directive, with its star values applied, and calls
// emit(directive, kind, type, arguments), where `arguments` gives what the
// conversion takes; it returns emit's result, or false for a directive that
// is not valid. Both sources feed the same loop and the same Convert.

// Parses the format and takes the arguments from a va_list.
template <typename Char>
class ListSource {
 public:
  // The cursor is not a member: an object holding a va_list would keep the
  // format position out of registers.
  ListSource(const Char* format, ArgumentCursor& cursor) : p_(format), cursor_(cursor) {}

  const Char* Literal(size_t& length) {
    const Char* const literal = p_;
    p_ = FindConversionOrEnd(p_);
    length = static_cast<size_t>(p_ - literal);
    return literal;
  }
  bool AtEnd() const { return *p_ == 0; }

  template <typename Emit>
  bool Next(Emit&& emit) {
    constexpr bool kWideConventions = sizeof(Char) == sizeof(wchar);
    Directive directive;
    bool afterStar = false;
    ++p_;
    for (;;) {
      const Piece<Char> piece = ParsePiece(p_, afterStar, kWideConventions, directive);
      p_ = piece.next;
      if (piece.kind == PieceKind::kStar) {
        ApplyStar(directive, va_arg(cursor_.list, int));
        afterStar = true;
        continue;
      }
      if (piece.kind == PieceKind::kInvalid) return false;
      return emit(directive, piece.kind, piece.type, ListArguments{cursor_.list});
    }
  }

 private:
  const Char* p_;
  ArgumentCursor& cursor_;
};

// Replays a plan the argument check made: the parsing and the argument
// fetching are done already.
class PlanSource {
 public:
  explicit PlanSource(const FormatPlan& plan) : plan_(plan) {}

  const wchar* Literal(size_t& length) const {
    if (next_ == plan_.size()) {
      length = plan_.tailLength();
      return plan_.tail();
    }
    length = plan_[next_].literalLength;
    return plan_[next_].literal;
  }
  bool AtEnd() const { return next_ == plan_.size(); }

  template <typename Emit>
  bool Next(Emit&& emit) {
    const ConversionStep& step = plan_[next_++].step;
    return emit(step.directive, step.kind, step.type, PlannedArgument{step.bits});
  }

 private:
  const FormatPlan& plan_;
  int next_ = 0;
};

// The formatting loop: inlined into each caller so that the source's state
// stays in registers.
template <typename Char, typename Source>
[[gnu::always_inline]] inline int Format(Char* buffer, size_t count, Source&& source) {
  const bool measuring = buffer == nullptr;
  Sink<Char> out(buffer, count);
  bool valid = true;
  for (;;) {
    size_t literalLength;
    const Char* const literal = source.Literal(literalLength);
    out.Put(literal, literalLength);
    if (source.AtEnd()) break;
    if (!measuring && out.cut()) break;  // cut already: the result is -1 whatever follows

    valid = source.Next([&](const Directive& directive, PieceKind kind, ArgType type, auto&& arguments) {
      if (kind == PieceKind::kConversion) return Convert(out, directive, type, arguments);
      out.Put(static_cast<Char>('%'));
      return true;
    });
    if (!valid) break;
  }

  const size_t length = out.length();
  if (!valid) {
    if (length < count) buffer[length] = 0;
    return -1;
  }
  if (length > INT_MAX) return -1;
  if (length < count) buffer[length] = 0;
  if (measuring || length <= count) return static_cast<int>(length);
  return -1;
}

template <typename Char>
int Format(Char* buffer, size_t count, const Char* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
  ArgumentCursor cursor(args);
  return Format(buffer, count, ListSource<Char>(format, cursor));
}

}  // namespace

int FormatBounded(wchar* buffer, size_t count, const wchar* format, va_list args) {
  return Format(buffer, count, format, args);
}

int FormatBounded(char* buffer, size_t count, const char* format, va_list args) {
  return Format(buffer, count, format, args);
}

int FormatPlanned(wchar* buffer, size_t count, const FormatPlan& plan) {
  if (buffer == nullptr && count != 0) return -1;
  return Format(buffer, count, PlanSource(plan));
}

int FormatBoundedF(wchar* buffer, size_t count, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = Format(buffer, count, format, args);
  va_end(args);
  return result;
}

int FormatBoundedF(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = Format(buffer, count, format, args);
  va_end(args);
  return result;
}

}  // namespace kvtr::format
