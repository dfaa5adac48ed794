#include "common_utils/format/bounded_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/win32.h"

namespace kvtr::format {
namespace {

constexpr wchar kSentinel = 0x2A2A;

// Formats into a sentinel-filled buffer; checks the result is the length
// and is followed by a terminator.
WString WideOut(const wchar* format, ...) {
  wchar buffer[2048];
  std::fill(std::begin(buffer), std::end(buffer), kSentinel);
  va_list args;
  va_start(args, format);
  const int result = FormatBounded(buffer, 2047, format, args);
  va_end(args);
  EXPECT_GE(result, 0);
  if (result < 0) return W("<cut or invalid>");
  EXPECT_EQ(buffer[result], 0);
  return WString(buffer, static_cast<size_t>(result));
}

std::string NarrowOut(const char* format, ...) {
  char buffer[256];
  std::fill(std::begin(buffer), std::end(buffer), '*');
  va_list args;
  va_start(args, format);
  const int result = FormatBounded(buffer, 255, format, args);
  va_end(args);
  EXPECT_GE(result, 0);
  if (result < 0) return "<cut or invalid>";
  EXPECT_EQ(buffer[result], 0);
  return std::string(buffer, static_cast<size_t>(result));
}

struct Case {
  const char* expected;
  std::string actual;
  int line;
};
#define WIDE(expected, format, ...) \
  Case { expected, NarrowAscii(WideOut(W(format) __VA_OPT__(, ) __VA_ARGS__)), __LINE__ }
#define NARROW(expected, format, ...) Case{expected, NarrowOut(format __VA_OPT__(, ) __VA_ARGS__), __LINE__}

void ExpectCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual) << "case at line " << c.line;
}

TEST(BoundedFormatTest, Integers) {
  ExpectCases({
      WIDE("42|-42", "%d|%i", 42, -42),
      WIDE("+5  5 -5", "%+d % d %+d", 5, 5, -5),
      WIDE("-0042|42   |  007|007|", "%05d|%-5d|%05.3d|%.3d|", -42, 42, 7, 7),
      WIDE("[]", "[%.0d]", 0),
      WIDE("4294967295 10 abc ABC 0000BEEF", "%u %o %x %X %08X", -1, 8, 0xabc, 0xabc, 0xBEEF),
      WIDE("0xff 0XFF 010 0 0x0000ff", "%#x %#X %#o %#x %#08x", 255, 255, 8, 0, 255),
      // # makes octal start with a 0, even where the precision leaves no digit.
      WIDE("0|    0|0    |[]|[]|010|0", "%#.0o|%#5.0o|%-#5.0o|[%.0o]|[%#.0x]|%#.3o|%#o", 0, 0, 0, 0, 0, 8, 0),
      WIDE("1 65535 -1 255", "%hd %hu %hhd %hhu", 65537, -1, 0x1FF, 0x1FF),
      WIDE("-1 4294967295 -5", "%ld %lu %I32d", -1, -1, -5),
      WIDE("-9223372036854775808 18446744073709551615 ffffffffffffffff", "%I64d %I64u %I64x", INT64_MIN,
           UINT64_MAX, UINT64_MAX),
      // A 64-bit argument takes 8 bytes: the next one is read intact.
      WIDE("1099511627776 7 -1099511627776 8", "%I64d %d %lld %d", INT64_C(1) << 40, 7, -(INT64_C(1) << 40), 8),
      WIDE("-3 -9223372036854775808", "%td %jd", static_cast<ptrdiff_t>(-3), static_cast<intmax_t>(INT64_MIN)),
      NARROW("-7|0x1f|   12", "%d|%#x|%5u", -7, 31, 12),
  });
  // I, z: pointer-sized.
  EXPECT_EQ(std::to_string(SIZE_MAX) + " " + std::to_string(SIZE_MAX),
            NarrowAscii(WideOut(W("%Iu %zu"), SIZE_MAX, SIZE_MAX)));
}

TEST(BoundedFormatTest, FloatingPoint) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ExpectCases({
      WIDE(" 3.14|1.500000|3.|-2.500    |-00002.500|+2.3", "%5.2f|%f|%#.0f|%-10.3f|%010.3f|%+.1f", 3.14159,
           1.5, 3.0, -2.5, -2.5, 2.26),
      WIDE("1.234568e+04 1.234568E+04 0.00e+00 3.e+00 1.000000e-300", "%e %E %.2e %#.0e %e", 12345.678,
           12345.678, 0.0, 3.0, 1e-300),
      WIDE("0.0001 1e-05 1.23457e+08 100000 1e+06 1E-10 0 3.14 1.2e+03", "%g %g %g %g %g %G %g %.3g %.2g",
           0.0001, 0.00001, 123456789.0, 100000.0, 1e6, 1e-10, 0.0, 3.14159, 1234.0),
      WIDE("1.00000 1.00 -0.5", "%#g %#.3g %g", 1.0, 1.0, -0.5),
      WIDE("inf -INF   inf| nan NAN", "%f %F %5.1f| %e %G", inf, -inf, inf, nan, nan),
      WIDE("0x1.0000000000000p+0 0x1.8p+0 -0X1.8000000000000P+0 0x0.0000000000000p+0", "%a %.1a %A %a", 1.0,
           1.5, -1.5, 0.0),
      // l, L and I64 with a floating conversion still take a double.
      WIDE("1.5 2.500000 3.500000e+00 4.5", "%g %lf %le %I64g", 1.5, 2.5, 3.5, 4.5),
      NARROW("2.50|1e+100", "%.2f|%g", 2.5, 1e100),
  });
  // Precisions beyond the digits a double can have are padded with zeros.
  EXPECT_EQ("0.5" + std::string(1104, '0'), NarrowAscii(WideOut(W("%.1105f"), 0.5)));
  EXPECT_EQ("1." + std::string(805, '0') + "e+00", NarrowAscii(WideOut(W("%.805e"), 1.0)));
}

TEST(BoundedFormatTest, StarsPointersAndPercent) {
  const std::string digits = std::string(2 * sizeof(void*) - 4, '0') + "12AB";
  const std::string zeros(2 * sizeof(void*), '0');
  int target = 12345;
  ExpectCases({
      WIDE("   42|42   |42   |", "%*d|%*d|%-*d|", 5, 42, -5, 42, 5, 42),
      WIDE("3.14|3.141590|    3.14|", "%.*f|%.*f|%*.*f|", 2, 3.14159, -1, 3.14159, 8, 2, 3.14159),
      WIDE("100% %", "100%% %%"),
      WIDE("abcd", "ab%ncd", &target),
  });
  EXPECT_EQ(12345, target);  // %n never writes
  EXPECT_EQ(digits + "|" + zeros, NarrowAscii(WideOut(W("%p|%p"), reinterpret_cast<void*>(0x12AB), nullptr)));
  EXPECT_EQ("    " + digits + "|" + digits + "    |",
            NarrowAscii(WideOut(W("%*p|%-*p|"), static_cast<int>(digits.size() + 4),
                                reinterpret_cast<void*>(0x12AB), static_cast<int>(digits.size() + 4),
                                reinterpret_cast<void*>(0x12AB))));
}

// Widths and precisions saturate: they never wrap into small or negative
// numbers, and digits after a star precision that was negative (none) leave
// it none.
TEST(BoundedFormatTest, HugeWidthsAndPrecisionsSaturate) {
  ExpectCases({
      WIDE("42|0.5|0.5|x", "%.*12345678901d|%.*99999999999g|%.*5g|%.*4294967297s", -1, 42, -1, 0.5, -1, 0.5, -7,
           W("x")),
      WIDE("[42]", "[%.*0000000000000000000000009d]", -1, 42),
  });
  // 4294967297 would wrap to 1 and 2147483648 to INT_MIN (no precision).
  const auto cut = [](const wchar* format, auto argument) {
    wchar buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), kSentinel);
    const int result = FormatBoundedF(buffer, 8, format, argument);
    return std::to_string(result) + ":" + NarrowAscii(WStringView(buffer, 8));
  };
  EXPECT_EQ("-1:        ", cut(W("%4294967297d"), 1));
  EXPECT_EQ("-1:        ", cut(W("%2147483648d"), 1));
  EXPECT_EQ("-1:00000000", cut(W("%.4294967297d"), 1));
  EXPECT_EQ("-1:1.000000", cut(W("%#.2147483648g"), 1.0));
}

TEST(BoundedFormatTest, TextWidthsFollowTheConventions) {
  ExpectCases({
      WIDE("[w1][n1][n2][w2][w3]", "[%s][%S][%hs][%ls][%ws]", W("w1"), "n1", "n2", W("w2"), W("w3")),
      WIDE("abcde", "%c%C%hc%lc%wc", W('a'), 'b', 'c', W('d'), W('e')),
      WIDE("ab      |      ab|ab|abc|   ab|", "%-8s|%8s|%.2s|%.*s|%5.2S|", W("ab"), W("ab"), W("abcdef"), 3,
           W("abcdef"), "abcdef"),
      WIDE("(null)|(null)|(nu", "%s|%S|%.3s", static_cast<const wchar*>(nullptr), static_cast<const char*>(nullptr),
           static_cast<const wchar*>(nullptr)),
      NARROW("[n1][w1][n2][w2][w3]", "[%s][%S][%hs][%ls][%ws]", "n1", W("w1"), "n2", W("w2"), W("w3")),
      NARROW("abcd|(null)", "%c%C%hc%lc|%ls", 'a', W('b'), 'c', W('d'), static_cast<const wchar*>(nullptr)),
  });
}

TEST(BoundedFormatTest, TextOfTheOtherWidthGoesThroughTheAnsiCodePage) {
  const char narrow[] = "caf\xC3\xA9";
  wchar converted[16] = {};
  const int convertedLength = MultiByteToWideChar(CP_ACP, 0, narrow, 5, converted, 16);
  ASSERT_GT(convertedLength, 0);
  const WString expected = WString(10 - convertedLength, ' ') + WString(converted, convertedLength) + W("|");
  EXPECT_TRUE(WideOut(W("%10S|"), narrow) == expected);

  const wchar wide[] = {'c', 'a', 'f', 0xE9, ' ', 0x4E2D, 0};
  char encoded[32] = {};
  const int encodedLength = WideCharToMultiByte(CP_ACP, 0, wide, 6, encoded, 32, nullptr, nullptr);
  ASSERT_GT(encodedLength, 0);
  EXPECT_EQ("[" + std::string(encoded, encodedLength) + "]", NarrowOut("[%ls]", wide));
  EXPECT_EQ("[" + std::string(encoded, encodedLength) + "]", NarrowOut("[%S]", wide));
}

TEST(BoundedFormatTest, CountRules) {
  wchar buffer[16];
  const auto reset = [&] { std::fill(std::begin(buffer), std::end(buffer), kSentinel); };
  const auto text = [&](int length) { return NarrowAscii(WStringView(buffer, static_cast<size_t>(length))); };

  reset();  // shorter: terminated, length returned
  EXPECT_EQ(3, FormatBoundedF(buffer, 5, W("%s"), W("abc")));
  EXPECT_EQ(0, buffer[3]);
  EXPECT_EQ(kSentinel, buffer[4]);

  reset();  // exactly count: no terminator
  EXPECT_EQ(5, FormatBoundedF(buffer, 5, W("ab%dde"), 3));
  EXPECT_EQ("ab3de", text(5));
  EXPECT_EQ(kSentinel, buffer[5]);

  reset();  // longer: cut to count, no terminator, -1
  EXPECT_EQ(-1, FormatBoundedF(buffer, 5, W("abc%sgh"), W("def")));
  EXPECT_EQ("abcde", text(5));
  EXPECT_EQ(kSentinel, buffer[5]);

  reset();  // padding counts too
  EXPECT_EQ(-1, FormatBoundedF(buffer, 4, W("%10d"), 1));
  EXPECT_EQ("    ", text(4));
  EXPECT_EQ(kSentinel, buffer[4]);

  reset();
  EXPECT_EQ(-1, FormatBoundedF(buffer, 0, W("x")));
  EXPECT_EQ(0, FormatBoundedF(buffer, 0, W("")));
  EXPECT_EQ(kSentinel, buffer[0]);

  EXPECT_EQ(9, FormatBoundedF(static_cast<wchar*>(nullptr), 0, W("%d-%s"), 12345, W("abc")));
  EXPECT_EQ(-1, FormatBoundedF(buffer, 4, static_cast<const wchar*>(nullptr)));

  char narrow[8];
  std::fill(std::begin(narrow), std::end(narrow), '*');
  EXPECT_EQ(4, FormatBoundedF(narrow, 4, "%s", "abcd"));
  EXPECT_EQ('*', narrow[4]);
  EXPECT_EQ(-1, FormatBoundedF(narrow, 4, "%s", "abcde"));
  EXPECT_EQ(std::string("abcd*"), std::string(narrow, 5));
}

TEST(BoundedFormatTest, InvalidConversionEndsTheText) {
  struct {
    const wchar* format;
    size_t count;
    const char* written;
    bool terminated;
  } const cases[] = {
      {W("ab%kcd"), 10, "ab", true},
      {W("ab%5"), 10, "ab", true},
      {W("ab%"), 10, "ab", true},
      {W("ab%k"), 2, "ab", false},  // no room for a terminator
      {W("%d%y%d"), 10, "1", true},
  };
  for (const auto& c : cases) {
    wchar buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), kSentinel);
    EXPECT_EQ(-1, FormatBoundedF(buffer, c.count, c.format, 1, 2)) << c.written;
    const size_t length = std::char_traits<char>::length(c.written);
    EXPECT_EQ(c.written, NarrowAscii(WStringView(buffer, length)));
    EXPECT_EQ(c.terminated ? 0 : kSentinel, buffer[length]) << c.written;
  }
}

}  // namespace
}  // namespace kvtr::format
