#include "common_utils/report/safe_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "common_utils/format/bounded_format.h"
#include "common_utils/format/format_plan.h"
#include "support/memory_pages.h"
#include "support/rejected_report.h"

// Counts this thread's allocations, to hold the accepted path to none.
namespace {
thread_local int t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// Out of line, so the compiler does not pair an inlined free() with new.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace kvtr::format {
namespace {

constexpr wchar kSentinel = 0x2A2A;
constexpr int kBufferSize = 16;

class SafeFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::fill(std::begin(buffer_), std::end(buffer_), kSentinel);
  }

  std::string Text(size_t length) const { return NarrowAscii(WStringView(buffer_, length)); }
  bool Untouched(size_t from) const {
    return std::all_of(buffer_ + from, buffer_ + kBufferSize, [](wchar c) { return c == kSentinel; });
  }

  wchar buffer_[kBufferSize];
  test::RejectedReports reports_;
};

TEST_F(SafeFormatTest, TypicalMessageWithoutAllocating) {
  wchar message[128];
  const int before = t_allocations;
  const int result = SafeFormat(message, 128, W("Error [%d] MOF [%s] compilation failed with error code %d"), 7,
                                W("setup.mof"), -2147217407);
  EXPECT_EQ(before, t_allocations);
  const std::string expected = "Error [7] MOF [setup.mof] compilation failed with error code -2147217407";
  EXPECT_EQ(static_cast<int>(expected.size()), result);
  EXPECT_EQ(expected, NarrowAscii(message));
}

TEST_F(SafeFormatTest, CutTextKeepsTheTerminatorAtTheEnd) {
  EXPECT_EQ(-1, SafeFormat(buffer_, 8, W("%s"), W("abcdefghijklmnopqrst")));
  EXPECT_EQ("abcdefg", Text(7));
  EXPECT_EQ(0, buffer_[7]);
  EXPECT_TRUE(Untouched(8));
}

TEST_F(SafeFormatTest, TextThatFitsIsTerminatedTwice) {
  EXPECT_EQ(7, SafeFormat(buffer_, 8, W("%d%s"), 123, W("4567")));
  EXPECT_EQ("1234567", Text(7));
  EXPECT_EQ(0, buffer_[7]);

  std::fill(std::begin(buffer_), std::end(buffer_), kSentinel);
  EXPECT_EQ(3, SafeFormat(buffer_, 8, W("a%cc"), W('b')));
  EXPECT_EQ("abc", Text(3));
  EXPECT_EQ(0, buffer_[3]);
  EXPECT_EQ(kSentinel, buffer_[4]);
  EXPECT_EQ(0, buffer_[7]);
  EXPECT_TRUE(Untouched(8));
}

TEST_F(SafeFormatTest, NoRoomForText) {
  EXPECT_EQ(-1, SafeFormat(buffer_, 1, W("abc")));
  EXPECT_EQ(0, buffer_[0]);
  EXPECT_TRUE(Untouched(1));
  EXPECT_EQ(-1, SafeFormat(buffer_ + 4, 0, W("abc")));
  EXPECT_TRUE(Untouched(1));
}

TEST_F(SafeFormatTest, RejectedEntryLeavesTheBufferUntouched) {
  const test::MemoryPages noAccess(test::MemoryPages::Access::kNone);
  const int results[] = {
      SafeFormat(buffer_, kBufferSize, W("%s then %d"), noAccess.first(), 1),
      SafeFormat(buffer_, kBufferSize, W("%lld"), 1LL),
      SafeFormat(buffer_, kBufferSize, W("value %")),
      SafeFormat(buffer_, kBufferSize, W("%n"), static_cast<int*>(nullptr)),
      SafeFormat(buffer_, kBufferSize, nullptr),
  };
  for (int result : results) EXPECT_EQ(0, result);
  EXPECT_TRUE(Untouched(0));
  const std::vector<test::RejectedReport> reports = reports_.All();
  ASSERT_EQ(std::size(results), reports.size());
  for (const test::RejectedReport& report : reports) {
    EXPECT_EQ(3, report.level);
    EXPECT_EQ("0(0x00000000)", report.eventId);
    EXPECT_EQ("<null>", report.user);
  }
  EXPECT_EQ(1, reports[0].argumentCount);
  EXPECT_EQ("<null>", reports[4].format);
}

TEST_F(SafeFormatTest, PercentNWritesNothing) {
  int target = 77;
  EXPECT_EQ(4, SafeFormat(buffer_, kBufferSize, W("ab%ncd"), &target));
  EXPECT_EQ("abcd", Text(4));
  EXPECT_EQ(77, target);
}

// ---- SafeFormat from the check's walk against FormatBounded ----

constexpr int kWide = 80;  // buffer size of the differential cases

// Formats `format` three ways and expects the same buffer and result:
// SafeFormatV into `capacity`; FormatBounded into capacity - 1 with a
// terminator at capacity - 1; and, when the check's plan holds the whole
// format (`planned`), FormatPlanned measuring without a buffer as
// FormatBounded does.
void ExpectSameAsFormatBounded(int line, int capacity, bool planned, const wchar* format, ...) {
  SCOPED_TRACE(::testing::Message() << "case at line " << line);
  va_list args;
  va_start(args, format);

  FormatPlan plan;
  va_list forPlan;
  va_copy(forPlan, args);
  EXPECT_TRUE(ValidateAndPlan(3, format, forPlan, 0, nullptr, true, plan));
  va_end(forPlan);
  EXPECT_EQ(planned, plan.complete());

  wchar expected[kWide];
  std::fill(std::begin(expected), std::end(expected), kSentinel);
  va_list forBounded;
  va_copy(forBounded, args);
  const int expectedResult = FormatBounded(expected, static_cast<size_t>(capacity) - 1, format, forBounded);
  va_end(forBounded);
  expected[capacity - 1] = 0;

  wchar actual[kWide];
  std::fill(std::begin(actual), std::end(actual), kSentinel);
  va_list forSafe;
  va_copy(forSafe, args);
  EXPECT_EQ(expectedResult, SafeFormatV(actual, capacity, format, forSafe));
  va_end(forSafe);
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), std::begin(actual)))
      << "expected \"" << NarrowAscii(WStringView(expected, static_cast<size_t>(capacity))) << "\", got \""
      << NarrowAscii(WStringView(actual, static_cast<size_t>(capacity))) << "\"";

  if (plan.complete()) {
    va_list forMeasure;
    va_copy(forMeasure, args);
    EXPECT_EQ(FormatBounded(static_cast<wchar*>(nullptr), 0, format, forMeasure), FormatPlanned(nullptr, 0, plan));
    va_end(forMeasure);
  }
  va_end(args);
}

#define SAME(capacity, format, ...) \
  ExpectSameAsFormatBounded(__LINE__, capacity, true, W(format) __VA_OPT__(, ) __VA_ARGS__)
#define SAME_UNPLANNED(capacity, format, ...) \
  ExpectSameAsFormatBounded(__LINE__, capacity, false, W(format) __VA_OPT__(, ) __VA_ARGS__)

TEST_F(SafeFormatTest, FormatsAsTheBoundedFormatterDoes) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const char narrowNonAscii[] = "caf\xC3\xA9";
  const wchar wideNonAscii[] = {'c', 'a', 'f', 0xE9, ' ', 0x4E2D, 0};
  int target = 77;

  // Integers, flags, widths, precisions and length prefixes.
  SAME(kWide, "%d %i %u %o %x %X", -42, 42, -1, 8, 0xabc, 0xabc);
  SAME(kWide, "[%-+5d][% d][%05d][%05.3d][%.0d][%#x][%#X][%#o][%#08x]", 7, 7, -42, 7, 0, 255, 255, 8, 255);
  SAME(kWide, "%hd %hu %ld %lu %I64d %I64u %I64x", 65537, -1, -3, -3, INT64_MIN, UINT64_MAX, INT64_C(1) << 40);
  // Floating point, long double spellings included.
  SAME(kWide, "%f|%.2e|%E|%g|%G|%-+#12.4g|%010.3f", 3.14159, -12345.678, 1e-300, 0.0001, 1e20, 2.5, -2.5);
  SAME(kWide, "%f %e %G|%lf %le %I64g", inf, -inf, nan, 1.5, 2.5, 3.5);
  // Characters and strings of both widths, null and non-ASCII ones.
  SAME(kWide, "%c%C%hc%lc|%c|%C", W('a'), 'b', 'c', W('d'), static_cast<wchar>(0xE9), static_cast<char>('x'));
  SAME(kWide, "[%s][%S][%hs][%ls][%-8s][%8S][%.2s]", W("w1"), "n1", "n2", W("w2"), W("ab"), "ab", W("abcdef"));
  SAME(kWide, "%s|%S|%.3s|%8s", static_cast<const wchar*>(nullptr), static_cast<const char*>(nullptr),
       static_cast<const wchar*>(nullptr), static_cast<const char*>(nullptr));
  SAME(kWide, "[%S][%s][%10S][%.3s]", narrowNonAscii, wideNonAscii, narrowNonAscii, wideNonAscii);
  // Stars, negative ones included: a negative width justifies left, a
  // negative precision is none.
  SAME(kWide, "%*d|%-*d|%*d|%.*f|%.*f|%*.*e|", 5, 42, 5, 42, -5, 42, 2, 3.14159, -1, 3.14159, 12, 2, 31.4);
  SAME(kWide, "[%*s][%.*S][%*.*s]", -6, W("ab"), 3, "abcdef", 4, -2, W("xyz"));
  SAME(8, "%*d", INT_MIN, 1);
  // Widths and precisions past INT_MAX saturate; digits after a negative
  // star precision leave it none.
  SAME(kWide, "%.*12345678901d|%.*99999999999g|%#.*5g", -1, 42, -1, 0.5, -1, 0.5);
  SAME(8, "%4294967297d|%.2147483648d|%#.4294967297g", 1, 2, 1.0);
  SAME_UNPLANNED(kWide, "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d|%.*12345678901d|%#.*9999999999g", 1, 2, 3, 4, 5, 6, 7, 8,
                 9, 10, 11, 12, 13, 14, 15, 16, -1, 42, -1, 0.5);
  // No argument, an argument never written through, and pointers.
  SAME(kWide, "100%% %5% done%%");
  SAME(kWide, "ab%ncd", &target);
  SAME(kWide, "%p|%p|%*p|%-*p|", reinterpret_cast<void*>(0x12AB), nullptr, 20, &target, 20, &target);
  SAME(kWide, "");
  SAME(kWide, "no directives at all");
  EXPECT_EQ(77, target);

  // Cut outputs: in a literal, in a conversion, in padding, and before a
  // directive that then is never emitted.
  SAME(8, "abcdefghijkl%d", 1);
  SAME(8, "ab%dcd", 123456789);
  SAME(8, "ab%20s", W("x"));
  SAME(6, "abcdef%s", W("never reached"));
  SAME(1, "a%d", 5);
  SAME(1, "");
  // Exact fits: capacity - 1 characters is the most that fits.
  SAME(8, "%s", W("1234567"));
  SAME(8, "%s", W("12345678"));
  SAME(8, "ab%dd%s", 123, W("x"));

  // A plan holds FormatPlan::kCapacity directives ("%%" is one); past that
  // SafeFormat takes the formatter's own walk, with the same result.
  static_assert(FormatPlan::kCapacity == 16, "the cases below count directives");
  SAME(kWide, "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%%%s", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, W("!"));
  SAME_UNPLANNED(kWide, "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%%%%%s", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, W("!"));
  SAME_UNPLANNED(12, "%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %*s", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                 13, 14, 15, 16, -3, W("x"));
  EXPECT_TRUE(reports_.Texts().empty());
}

TEST_F(SafeFormatTest, DirectivesPastThePlanAreStillChecked) {
  const test::MemoryPages noAccess(test::MemoryPages::Access::kNone);
  const wchar* const ok = W("ok");
  EXPECT_EQ(0, SafeFormat(buffer_, kBufferSize, W("%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s then %d"), ok, ok, ok, ok, ok,
                          ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, noAccess.first(), 1));
  EXPECT_TRUE(Untouched(0));
  const test::RejectedReport report = reports_.Take();
  EXPECT_EQ(17, report.argumentCount);
  ASSERT_EQ(17u, report.arguments.size());
  wchar bad[32] = {};
  FormatBoundedF(bad, 31, W("%p"), noAccess.first());
  EXPECT_EQ("BAD_PTR(" + NarrowAscii(bad) + ")", report.arguments[16].value);
}

int Forward(wchar* buffer, int capacity, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = SafeFormatV(buffer, capacity, format, args);
  va_end(args);
  return result;
}

TEST_F(SafeFormatTest, ForwardedList) {
  EXPECT_EQ(13, Forward(buffer_, kBufferSize, W("%I64d|%S"), INT64_C(1) << 32, "ab"));
  EXPECT_EQ("4294967296|ab", Text(13));
  EXPECT_EQ(0, Forward(buffer_, kBufferSize, W("%S"), test::MemoryPages::Unmapped()));
}

}  // namespace
}  // namespace kvtr::format
