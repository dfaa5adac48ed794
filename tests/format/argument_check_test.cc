#include "common_utils/report/argument_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common_utils/format/argument_slot.h"
#include "common_utils/format/bounded_format.h"
#include "support/memory_pages.h"
#include "support/rejected_report.h"

namespace kvtr::format {
namespace {

using test::MemoryPages;

const wchar kUser[] = W("tester");

bool Check(bool wideConventions, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const bool accepted = ValidateLogArguments(7, format, args, 42, kUser, wideConventions);
  va_end(args);
  return accepted;
}

uint64_t Bits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The formatter's %p text of a pointer, as the report shows it.
std::string PointerText(const void* pointer) {
  wchar text[32] = {};
  FormatBoundedF(text, 31, W("%p"), pointer);
  return NarrowAscii(text);
}
std::string BadPointer(const void* pointer) { return "BAD_PTR(" + PointerText(pointer) + ")"; }

class ArgumentCheckTest : public ::testing::Test {
 protected:
  // The one report since the last call.
  test::RejectedReport Rejected() { return reports_.Take(); }
  bool NoReports() const { return reports_.Texts().empty(); }
  static std::vector<std::string> TypeNames(const test::RejectedReport& report) {
    std::vector<std::string> names;
    for (const test::ReportedArgument& argument : report.arguments) names.push_back(argument.type);
    return names;
  }

  test::RejectedReports reports_;
};

TEST_F(ArgumentCheckTest, AcceptsWhatCheckedCallersMayUse) {
  int target = 0;
  const bool results[] = {
      Check(true, W("no conversions at all"), nullptr, 1),
      Check(true, W("100%% %5%")),
      Check(true, W("%d %i %u %o %x %X|%-+ #08.3d"), 1, 2, 3, 4, 5, 6, 7),
      Check(true, W("%hd %hu %ld %lu %I64d %I64X"), 1, 2, 3, 4, INT64_C(5), INT64_C(6)),
      Check(true, W("%f %e %E %g %G %hf %lf %le %I64f"), 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0),
      Check(true, W("%c %C %hc %lc"), W('a'), 'b', 'c', W('d')),
      Check(true, W("%s %S %hs %ls"), W("w"), "n", "n", W("w")),
      Check(false, W("%s %S %hs %ls"), "n", W("w"), "n", W("w")),
      Check(true, W("%s|%S|%p|%n"), static_cast<const wchar*>(nullptr), static_cast<const char*>(nullptr),
            nullptr, &target),
      Check(true, W("%*d"), 5, 7),
  };
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_TRUE(results[i]) << "case " << i;
  EXPECT_TRUE(NoReports());
}

TEST_F(ArgumentCheckTest, RejectsFormatsBeforeAnyArgument) {
  const wchar* const formats[] = {
      W("ends with %"), W("%"), W("%5"), W("%l"), W("%Id"), W("%I32d"), W("%I6d"), W("%lld"), W("%Lf"),
      W("%zu"), W("%jd"), W("%td"), W("%hhd"), W("%ws"), W("%a"), W("%A"), W("%F"), W("%k"), W("%0-5d"),
  };
  for (const wchar* format : formats) {
    EXPECT_FALSE(Check(true, format, 1, 2)) << NarrowAscii(format);
    const test::RejectedReport report = Rejected();
    EXPECT_EQ(0, report.argumentCount) << NarrowAscii(format);
    EXPECT_TRUE(report.argsNull);
    EXPECT_EQ(NarrowAscii(format), report.format);
  }
  // Arguments before the bad conversion were examined and passed. Flags
  // are not read again after a star, so "-" there is no valid piece.
  for (const wchar* format : {W("%d then %I32d"), W("%*-d")}) {
    EXPECT_FALSE(Check(true, format, 41, 2));
    const test::RejectedReport report = Rejected();
    ASSERT_EQ(1, report.argumentCount) << NarrowAscii(format);
    ASSERT_EQ(1u, report.arguments.size());
    EXPECT_EQ("41", report.arguments[0].value);
  }
}

TEST_F(ArgumentCheckTest, NamesAndTakesEveryArgumentType) {
  const char* const narrow = "narrow";
  const wchar* const wide = W("wide");
  // A null %n ends each walk, so the examined arguments are reported.
  EXPECT_FALSE(Check(true, W("%c %C %d %u %ld %lu %hd %hu %I64d %I64u %f %lf %le %p %S %s %n"), W('w'), 'n', -1,
                     2u, -3, 4u, -5, 6, INT64_C(0x123456789), UINT64_C(0xFEDCBA9876543210), 1.5, 2.5, 3.5,
                     static_cast<const void*>(narrow), narrow, wide, static_cast<int*>(nullptr)));
  test::RejectedReport report = Rejected();
  EXPECT_EQ(7, report.level);
  EXPECT_EQ("42(0x0000002A)", report.eventId);
  EXPECT_EQ("tester", report.user);
  EXPECT_EQ(17, report.argumentCount);
  EXPECT_EQ((std::vector<std::string>{"wchar_t", "char", "int", "unsigned int", "long int", "long unsigned int",
                                      "short int", "unsigned short int", "__int64", "unsigned __int64", "double",
                                      "long double", "double", "void*", "char*", "wchar_t*", "int*"}),
            TypeNames(report));
  const std::vector<std::string> expectedValues = {
      "w", "n", "-1", "2", "-3", "4", "-5", "6", "4886718345", "18364758544493064720", "1.500000", "2.500000",
      "3.500000", PointerText(narrow), "narrow", "wide", "<null>"};
  ASSERT_EQ(expectedValues.size(), report.arguments.size());
  for (size_t i = 0; i < report.arguments.size(); ++i) {
    EXPECT_EQ(static_cast<int>(i + 1), report.arguments[i].number);
    EXPECT_EQ(expectedValues[i], report.arguments[i].value) << "argument " << i + 1;
  }

  // Narrow conventions swap c/C and s/S; h and l pin the width.
  EXPECT_FALSE(Check(false, W("%c %C %s %S %hs %ls %hc %lc %n"), 'a', W('b'), narrow, wide, narrow, wide, 'c',
                     W('d'), static_cast<int*>(nullptr)));
  report = Rejected();
  EXPECT_EQ((std::vector<std::string>{"char", "wchar_t", "char*", "wchar_t*", "char*", "wchar_t*", "char",
                                      "wchar_t", "int*"}),
            TypeNames(report));

  // A star takes an int before the conversion's own argument.
  EXPECT_FALSE(Check(true, W("%*d %.*s %*.*f %n"), 5, 7, 3, wide, 9, 2, 1.25, static_cast<int*>(nullptr)));
  report = Rejected();
  EXPECT_EQ((std::vector<std::string>{"int", "int", "int", "wchar_t*", "int", "int", "double", "int*"}),
            TypeNames(report));
  EXPECT_EQ("5", report.arguments.at(0).value);
  EXPECT_EQ("7", report.arguments.at(1).value);
  EXPECT_EQ("1.250000", report.arguments.at(6).value);
}

TEST_F(ArgumentCheckTest, UnreadableArgumentEndsTheWalk) {
  const MemoryPages noAccess(MemoryPages::Access::kNone);
  void* const unmapped = MemoryPages::Unmapped();
  struct {
    const wchar* format;
    const void* bad;
    const char* type;
  } const cases[] = {
      {W("%s then %d"), noAccess.first(), "wchar_t*"},
      {W("%S then %d"), unmapped, "char*"},
      {W("%n then %d"), noAccess.first(), "int*"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Check(true, c.format, c.bad, 5)) << c.type;
    const test::RejectedReport report = Rejected();
    EXPECT_EQ(1, report.argumentCount);  // the %d is never examined
    ASSERT_EQ(1u, report.arguments.size());
    EXPECT_EQ(c.type, report.arguments[0].type);
    EXPECT_EQ(BadPointer(c.bad), report.arguments[0].value);
  }
}

TEST_F(ArgumentCheckTest, StringsAreReadUpToTheirTerminator) {
  const wchar wideText[] = W("abc");
  const MemoryPages narrowAtEdge(MemoryPages::Access::kReadOnly, "abc", 4);
  const MemoryPages wideAtEdge(MemoryPages::Access::kReadOnly, wideText, sizeof wideText);
  const MemoryPages unterminated(MemoryPages::Access::kReadOnly, "abc", 3);
  EXPECT_TRUE(Check(true, W("%S %s"), narrowAtEdge.tail(4), wideAtEdge.tail(sizeof wideText)));
  EXPECT_TRUE(NoReports());

  EXPECT_FALSE(Check(true, W("%d %S"), 1, unterminated.tail(3)));
  const test::RejectedReport report = Rejected();
  ASSERT_EQ(2u, report.arguments.size());
  EXPECT_EQ(BadPointer(unterminated.tail(3)), report.arguments[1].value);

  // A terminator just before the text is not the text's own.
  const wchar zeroThenWide[] = {0, 'a', 'b', 'c'};
  const MemoryPages zeroThenNarrowAtEdge(MemoryPages::Access::kReadOnly, "\0abc", 4);
  const MemoryPages zeroThenWideAtEdge(MemoryPages::Access::kReadOnly, zeroThenWide, sizeof zeroThenWide);
  EXPECT_FALSE(Check(true, W("%S"), zeroThenNarrowAtEdge.tail(3)));
  EXPECT_EQ(BadPointer(zeroThenNarrowAtEdge.tail(3)), Rejected().arguments.at(0).value);
  EXPECT_FALSE(Check(true, W("%s"), zeroThenWideAtEdge.tail(6)));
  EXPECT_EQ(BadPointer(zeroThenWideAtEdge.tail(6)), Rejected().arguments.at(0).value);

  // A format and a string running from one readable page into the next.
  std::vector<wchar> memory(3 * 4096);
  const uintptr_t start = reinterpret_cast<uintptr_t>(memory.data());
  wchar* const straddling = memory.data() + ((4096 - start % 4096) + 4096 - 10) / sizeof(wchar);
  const std::u16string text = u"%d and %s across a page boundary";
  std::copy(text.begin(), text.end(), straddling);
  EXPECT_TRUE(Check(true, straddling, 1, straddling));
  EXPECT_TRUE(NoReports());
}

// The formatter reads a text to its terminator, so a text without one in
// its first 1024 units must still be readable up to it.
TEST_F(ArgumentCheckTest, LongTextsMustBeReadableToTheirTerminator) {
  const std::string narrow1024(1024, 'a');
  const std::u16string wide1024(1024, u'a');
  const std::string narrow1025 = narrow1024 + '\0';
  const std::u16string wide1025 = wide1024 + u'\0';
  const MemoryPages narrowUnterminated(MemoryPages::Access::kReadOnly, narrow1024.data(), 1024);
  const MemoryPages wideUnterminated(MemoryPages::Access::kReadOnly, wide1024.data(), 2048);
  const MemoryPages narrowTerminated(MemoryPages::Access::kReadOnly, narrow1025.data(), 1025);
  const MemoryPages wideTerminated(MemoryPages::Access::kReadOnly, wide1025.data(), 2050);
  // Longer than a page, in readable memory.
  const std::string narrowLong(3 * 4096 + 5, 'n');
  const std::u16string wideLong(3 * 4096 + 5, u'w');

  EXPECT_TRUE(Check(true, W("%S %s"), narrowTerminated.tail(1025), wideTerminated.tail(2050)));
  EXPECT_TRUE(Check(true, W("%S %s"), narrowLong.c_str(), reinterpret_cast<const wchar*>(wideLong.c_str())));
  EXPECT_TRUE(NoReports());

  struct {
    const wchar* format;
    const char* type;
    const void* text;
  } const unterminated[] = {
      {W("%d %hs"), "char*", narrowUnterminated.tail(1024)},
      {W("%d %ls"), "wchar_t*", wideUnterminated.tail(2048)},
  };
  for (const auto& c : unterminated) {
    EXPECT_FALSE(Check(true, c.format, 1, c.text)) << c.type;
    const test::RejectedReport report = Rejected();
    ASSERT_EQ(2u, report.arguments.size()) << c.type;
    EXPECT_EQ(c.type, report.arguments[1].type);
    EXPECT_EQ(BadPointer(c.text), report.arguments[1].value);
  }

  // The same for the format, which the walk reads to its end.
  const wchar* const format = reinterpret_cast<const wchar*>(wideUnterminated.tail(2048));
  EXPECT_FALSE(Check(true, format, 1));
  const test::RejectedReport report = Rejected();
  EXPECT_EQ(BadPointer(format), report.format);
  EXPECT_EQ(0, report.argumentCount);
  EXPECT_TRUE(Check(true, reinterpret_cast<const wchar*>(wideTerminated.tail(2050)), 1));
}

TEST_F(ArgumentCheckTest, UnreadableFormatIsRejectedUnread) {
  const MemoryPages noAccess(MemoryPages::Access::kNone);
  const wchar unterminatedFormat[] = {'%', 'd'};
  const MemoryPages formatAtEdge(MemoryPages::Access::kReadOnly, unterminatedFormat, sizeof unterminatedFormat);
  const wchar* const formats[] = {nullptr, reinterpret_cast<const wchar*>(noAccess.first()),
                                  reinterpret_cast<const wchar*>(formatAtEdge.tail(sizeof unterminatedFormat))};
  for (const wchar* format : formats) {
    EXPECT_FALSE(Check(true, format, 1));
    const test::RejectedReport report = Rejected();
    EXPECT_EQ(format == nullptr ? std::string("<null>") : BadPointer(format), report.format);
    EXPECT_EQ(0, report.argumentCount);
    EXPECT_TRUE(report.argsNull);
  }
}

// The caller's list is only read: formatting from it afterwards sees every argument.
WString CheckThenFormat(const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  EXPECT_TRUE(ValidateLogArguments(3, format, args, 0, nullptr, true));
  wchar buffer[64] = {};
  FormatBounded(buffer, 63, format, args);
  va_end(args);
  return buffer;
}

TEST(ArgumentCheckListTest, CallerListIsOnlyRead) {
  EXPECT_EQ("1-x-1099511627776-2.5", NarrowAscii(CheckThenFormat(W("%d-%s-%I64d-%g"), 1, W("x"), INT64_C(1) << 40,
                                                                 2.5)));
}

// Each argument is described by `kinds`: i int, I 64-bit, d double, p
// pointer; argument n holds 1000 + n (ints), n + 0.25 (doubles).
void ExpectSlotsHoldArguments(const char* kinds, ...) {
  va_list args;
  va_start(args, kinds);
  ArgumentCursor cursor(args);
  va_end(args);
  for (int n = 1; kinds[n - 1] != 0; ++n) {
    const char kind = kinds[n - 1];
    const ArgClass cls = kind == 'i'   ? ArgClass::kInt32
                         : kind == 'I' ? ArgClass::kInt64
                         : kind == 'd' ? ArgClass::kDouble
                                       : ArgClass::kPointer;
    const void* const slot = NextArgumentSlot(cursor.list, cls);
    const uint64_t expected = kind == 'd' ? Bits(n + 0.25) : 1000u + n;
    const size_t bytes = kind == 'i' ? 4 : kind == 'p' ? sizeof(void*) : 8;
    ASSERT_NE(nullptr, slot) << "no slot layout for this ABI";
    EXPECT_EQ(0, std::memcmp(slot, &expected, bytes)) << "argument " << n << " (" << kind << ")";
    EXPECT_EQ(expected & (bytes == 4 ? 0xFFFFFFFFu : ~uint64_t{0}), FetchArgumentBits(cursor.list, cls));
  }
}

TEST(ArgumentSlotTest, SlotAddressHoldsEachArgument) {
  // Enough of each kind to spill out of the registers on every ABI.
  ExpectSlotsHoldArguments("idIdpdidididididididiiiId", 1001, 2.25, INT64_C(1003), 4.25,
                           reinterpret_cast<void*>(1005), 6.25, 1007, 8.25, 1009, 10.25, 1011, 12.25, 1013, 14.25,
                           1015, 16.25, 1017, 18.25, 1019, 20.25, 1021, 1022, 1023, INT64_C(1024), 25.25);
}

}  // namespace
}  // namespace kvtr::format
