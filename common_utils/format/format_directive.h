// One printf-style conversion directive, parsed the same way for the
// bounded formatter and for the argument check, so that the check examines
// exactly the arguments the formatter is going to take.
//
// After the '%' a directive is read in pieces. A piece ends either at a
// '*' (which takes an int argument; parsing then resumes right after it,
// without reading flags again) or at the conversion character:
//   flags        any run of ' ' '#' '+' '-'
//   width/prec.  any run of digits and '.'; a leading '0' asks for zero
//                padding, digits before the first '.' are the width, digits
//                after it the precision
//   length       h l I64 (checked callers); hh ll L I32 I w z j t are
//                understood by the formatter only
//   conversion   c C d i o u x X e E f g G n p s S %; a A F for the formatter
//                only
// A '*' before any '.' is the width, one after a '.' the precision.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvtr::format {

// The argument a piece takes from the list. The names are the C spellings
// a rejected-entry report shows.
enum class ArgType : uint8_t {
  kChar,
  kWchar,
  kInt,
  kUnsignedInt,
  kLongInt,
  kLongUnsignedInt,
  kShortInt,
  kUnsignedShortInt,
  kInt64,
  kUnsignedInt64,
  kDouble,
  kLongDouble,
  kIntPointer,
  kVoidPointer,
  kCharPointer,
  kWcharPointer,
};

inline constexpr const char* ArgTypeName(ArgType type) noexcept {
  constexpr const char* kNames[] = {
      "char",      "wchar_t",            "int",     "unsigned int",     "long int", "long unsigned int",
      "short int", "unsigned short int", "__int64", "unsigned __int64", "double",   "long double",
      "int*",      "void*",              "char*",   "wchar_t*",
  };
  return kNames[static_cast<unsigned>(type)];
}

// How an argument travels in a va_list. Everything narrower than int is
// promoted to an int slot; "long double" travels as a double, as with MSVC,
// where the two are the same type.
enum class ArgClass : uint8_t { kInt32, kInt64, kDouble, kPointer };

namespace detail {

struct ArgTraits {
  ArgClass cls;
  uint8_t valueBytes;
};

// By ArgType (a table: the check and the formatter look these up for every
// argument).
inline constexpr ArgTraits kArgTraits[] = {
    {ArgClass::kInt32, 1},   {ArgClass::kInt32, 2},   {ArgClass::kInt32, 4},   {ArgClass::kInt32, 4},
    {ArgClass::kInt32, 4},   {ArgClass::kInt32, 4},   {ArgClass::kInt32, 2},   {ArgClass::kInt32, 2},
    {ArgClass::kInt64, 8},   {ArgClass::kInt64, 8},   {ArgClass::kDouble, 8},  {ArgClass::kDouble, 8},
    {ArgClass::kPointer, 0}, {ArgClass::kPointer, 0}, {ArgClass::kPointer, 0}, {ArgClass::kPointer, 0},
};
static_assert(std::size(kArgTraits) == static_cast<size_t>(ArgType::kWcharPointer) + 1);

}  // namespace detail

inline constexpr ArgClass ClassOf(ArgType type) noexcept {
  return detail::kArgTraits[static_cast<unsigned>(type)].cls;
}

// Bytes of a value argument's own storage that hold its value (0 for the
// pointer types, whose targets are checked instead).
inline constexpr unsigned ValueBytes(ArgType type) noexcept {
  return detail::kArgTraits[static_cast<unsigned>(type)].valueBytes;
}

enum class Length : uint8_t {
  kNone,
  kShort,       // h
  kChar,        // hh
  kLong,        // l  (32-bit, like LONG)
  kLongLong,    // ll
  kLongDouble,  // L
  kInt64,       // I64
  kInt32,       // I32
  kPointer,     // I  (pointer-sized)
  kWide,        // w
  kSize,        // z
  kMax,         // j
  kPtrdiff,     // t
};

enum DirectiveFlag : uint8_t {
  kFlagLeft = 1,       // -
  kFlagPlus = 2,       // +
  kFlagSpace = 4,      // ' '
  kFlagAlternate = 8,  // #
  kFlagZero = 16,      // leading 0
};

// What the pieces read so far say about the conversion. Filled piece by
// piece; a star's value is applied with ApplyStar.
struct Directive {
  uint8_t flags = 0;
  bool afterDot = false;  // a '.' was seen: digits and '*' now set the precision
  int width = 0;
  int precision = -1;     // -1: none
  Length length = Length::kNone;
  char conversion = 0;
};

enum class PieceKind : uint8_t {
  kStar,        // a '*': takes an int; parsing resumes at `next`
  kConversion,  // takes one argument of `type`
  kPercent,     // "%%": takes nothing
  kInvalid,     // no valid conversion; `next` is where it failed
};

template <typename Char>
struct Piece {
  PieceKind kind;
  bool checked;  // within what checked callers may use
  ArgType type;
  const Char* next;
};

namespace detail {

inline constexpr int kMaxField = 0x7FFFFFF;  // saturation of width and precision

// A precision that a negative star made "none" (-1) stays none whatever
// digits follow; anything else saturates at kMaxField.
inline constexpr int AddDigit(int value, int digit) noexcept {
  if (value < 0) return value;
  return value >= kMaxField / 10 ? kMaxField : value * 10 + digit;
}

// Argument types of the integer conversions by length prefix.
inline constexpr ArgType IntegerType(Length length, bool isSigned) noexcept {
  switch (length) {
    case Length::kShort:
      return isSigned ? ArgType::kShortInt : ArgType::kUnsignedShortInt;
    case Length::kLong:
      return isSigned ? ArgType::kLongInt : ArgType::kLongUnsignedInt;
    case Length::kLongLong:
    case Length::kLongDouble:
    case Length::kInt64:
    case Length::kMax:
      return isSigned ? ArgType::kInt64 : ArgType::kUnsignedInt64;
    case Length::kPointer:
    case Length::kSize:
    case Length::kPtrdiff:
      if constexpr (sizeof(void*) == 8) return isSigned ? ArgType::kInt64 : ArgType::kUnsignedInt64;
      return isSigned ? ArgType::kInt : ArgType::kUnsignedInt;
    default:  // none, hh (truncated by the formatter), I32, w
      return isSigned ? ArgType::kInt : ArgType::kUnsignedInt;
  }
}

// 'c'/'s' take the format's own width of text unless h or l/w says otherwise;
// 'C'/'S' the other one.
inline constexpr bool TakesWide(Length length, bool ownWidth, bool wideConventions) noexcept {
  if (length == Length::kShort || length == Length::kChar) return false;
  if (length == Length::kLong || length == Length::kWide) return true;
  return ownWidth == wideConventions;
}

#if defined(__SSE2__)
// Compares whole aligned 16-byte chunks. An aligned chunk never spans two
// pages, so the bytes around the text that it also loads are exactly as
// readable as the text itself (an address sanitizer is told so).
template <typename Char>
[[gnu::no_sanitize_address]] inline const Char* FindConversionOrEndSse2(const Char* p) noexcept {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  const char* chunk = reinterpret_cast<const char*>(address & ~uintptr_t{15});
  unsigned skip = static_cast<unsigned>(address & 15);  // bytes of the first chunk before `p`
  const __m128i zero = _mm_setzero_si128();
  const __m128i percent = sizeof(Char) == 1 ? _mm_set1_epi8('%') : _mm_set1_epi16('%');
  for (;;) {
    const __m128i data = _mm_load_si128(reinterpret_cast<const __m128i*>(chunk));
    const __m128i hits = sizeof(Char) == 1
                             ? _mm_or_si128(_mm_cmpeq_epi8(data, zero), _mm_cmpeq_epi8(data, percent))
                             : _mm_or_si128(_mm_cmpeq_epi16(data, zero), _mm_cmpeq_epi16(data, percent));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits)) >> skip << skip;
    if (mask != 0) return reinterpret_cast<const Char*>(chunk + std::countr_zero(mask));
    chunk += 16;
    skip = 0;
  }
}
#endif

// Argument types of a conversion character with no flags, width, precision
// or length prefix before it ("%d", "%s"), which is what most
// directives are.
struct BareConversion {
  bool valid;
  bool checked;
  ArgType wide;    // with wide conventions
  ArgType narrow;  // with narrow conventions
};

inline constexpr auto kBareConversions = [] {
  std::array<BareConversion, 128> table{};
  const auto set = [&](const char* characters, ArgType wide, ArgType narrow, bool checked) {
    for (const char* c = characters; *c != 0; ++c) {
      table[static_cast<unsigned char>(*c)] = {true, checked, wide, narrow};
    }
  };
  set("c", ArgType::kWchar, ArgType::kChar, true);
  set("C", ArgType::kChar, ArgType::kWchar, true);
  set("s", ArgType::kWcharPointer, ArgType::kCharPointer, true);
  set("S", ArgType::kCharPointer, ArgType::kWcharPointer, true);
  set("di", ArgType::kInt, ArgType::kInt, true);
  set("ouxX", ArgType::kUnsignedInt, ArgType::kUnsignedInt, true);
  set("feEgG", ArgType::kDouble, ArgType::kDouble, true);
  set("aAF", ArgType::kDouble, ArgType::kDouble, false);
  set("n", ArgType::kIntPointer, ArgType::kIntPointer, true);
  set("p", ArgType::kVoidPointer, ArgType::kVoidPointer, true);
  return table;
}();

}  // namespace detail

// A '*' value: the width (negative: left-justified) or the precision
// (negative: none).
// Out of line: stars are rare, and inlined into a formatting loop it costs
// that loop registers.
[[gnu::noinline]] inline void ApplyStar(Directive& directive, int value) noexcept {
  if (directive.afterDot) {
    directive.precision = value < 0 ? -1 : std::min(value, detail::kMaxField);
    return;
  }
  if (value < 0) {
    directive.flags |= kFlagLeft;
    directive.width = value == INT_MIN ? detail::kMaxField : std::min(-value, detail::kMaxField);
  } else {
    directive.width = std::min(value, detail::kMaxField);
  }
}

// The first '%' or terminator at or after `p`: the literal text between
// conversions is most of a message, so this search is the hot loop of both
// the formatter and the argument check.
template <typename Char>
inline const Char* FindConversionOrEnd(const Char* p) noexcept {
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(p) & (sizeof(Char) - 1)) == 0) return detail::FindConversionOrEndSse2(p);
#endif
  while (*p != 0 && *p != '%') ++p;
  return p;
}

// Parses one piece at `p` (just after the '%', or just after a '*' when
// `afterStar`). `wideConventions`: %s and %c take wide text (a wide format
// as with wprintf); otherwise narrow.
template <typename Char>
[[gnu::always_inline]] inline constexpr Piece<Char> ParsePiece(const Char* p, bool afterStar, bool wideConventions,
                                                               Directive& directive) noexcept {
  if (!afterStar) {
    const auto first = static_cast<std::make_unsigned_t<Char>>(*p);
    if (first < detail::kBareConversions.size() && detail::kBareConversions[first].valid) {
      const detail::BareConversion& bare = detail::kBareConversions[first];
      directive.conversion = static_cast<char>(first);
      return {PieceKind::kConversion, bare.checked, wideConventions ? bare.wide : bare.narrow, p + 1};
    }
    for (;; ++p) {
      if (*p == ' ') directive.flags |= kFlagSpace;
      else if (*p == '#') directive.flags |= kFlagAlternate;
      else if (*p == '+') directive.flags |= kFlagPlus;
      else if (*p == '-') directive.flags |= kFlagLeft;
      else break;
    }
  }

  bool runStart = true;
  bool inWidth = false;
  for (;; ++p) {
    const Char c = *p;
    if (c == '.') {
      directive.afterDot = true;
      directive.precision = 0;
    } else if (c >= '0' && c <= '9') {
      const int digit = static_cast<int>(c - '0');
      if (directive.afterDot) {
        directive.precision = detail::AddDigit(directive.precision, digit);
      } else if (inWidth) {
        directive.width = detail::AddDigit(directive.width, digit);
      } else if (c == '0' && runStart) {
        directive.flags |= kFlagZero;
      } else {
        directive.width = digit;
        inWidth = true;
      }
    } else {
      break;
    }
    runStart = false;
  }
  if (*p == '*') return {PieceKind::kStar, true, ArgType::kInt, p + 1};

  bool checked = true;
  Length length = Length::kNone;
  switch (*p) {
    case 'h':
      if (p[1] == 'h') {
        length = Length::kChar, checked = false, p += 2;
      } else {
        length = Length::kShort, ++p;
      }
      break;
    case 'l':
      if (p[1] == 'l') {
        length = Length::kLongLong, checked = false, p += 2;
      } else {
        length = Length::kLong, ++p;
      }
      break;
    case 'I':
      if (p[1] == '6' && p[2] == '4') {
        length = Length::kInt64, p += 3;
      } else if (p[1] == '3' && p[2] == '2') {
        length = Length::kInt32, checked = false, p += 3;
      } else {
        length = Length::kPointer, checked = false, ++p;
      }
      break;
    case 'L': length = Length::kLongDouble, checked = false, ++p; break;
    case 'w': length = Length::kWide, checked = false, ++p; break;
    case 'z': length = Length::kSize, checked = false, ++p; break;
    case 'j': length = Length::kMax, checked = false, ++p; break;
    case 't': length = Length::kPtrdiff, checked = false, ++p; break;
    default: break;
  }
  directive.length = length;

  ArgType type;
  switch (*p) {
    case 'c':
    case 'C':
      type = detail::TakesWide(length, *p == 'c', wideConventions) ? ArgType::kWchar : ArgType::kChar;
      break;
    case 's':
    case 'S':
      type = detail::TakesWide(length, *p == 's', wideConventions) ? ArgType::kWcharPointer
                                                                   : ArgType::kCharPointer;
      break;
    case 'd':
    case 'i':
      type = detail::IntegerType(length, true);
      break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      type = detail::IntegerType(length, false);
      break;
    case 'f':
      type = length == Length::kLong || length == Length::kLongDouble ? ArgType::kLongDouble : ArgType::kDouble;
      break;
    case 'F':
    case 'a':
    case 'A':
      checked = false;
      [[fallthrough]];
    case 'e':
    case 'E':
    case 'g':
    case 'G':
      type = length == Length::kLongDouble ? ArgType::kLongDouble : ArgType::kDouble;
      break;
    case 'n': type = ArgType::kIntPointer; break;
    case 'p': type = ArgType::kVoidPointer; break;
    case '%':
      directive.conversion = '%';
      return {PieceKind::kPercent, checked, ArgType::kInt, p + 1};
    default:
      return {PieceKind::kInvalid, false, ArgType::kInt, p};
  }
  directive.conversion = static_cast<char>(*p);
  return {PieceKind::kConversion, checked, type, p + 1};
}

}  // namespace kvtr::format
