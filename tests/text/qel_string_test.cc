// QELString: no text versus empty text, bounded formatting, the narrow
// views and their renewal, the code page choice, Strip, At and AssignCount.
#include "common_utils/text/qel_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "platform/win32.h"
#include "support/memory_pages.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace qel {
namespace {

using kvtr::WString;

WString Text(const QELString& s) { return s.CStr() != nullptr ? WString(s.CStr()) : WString(W("<null>")); }

// A text whose every position is recognisable: "0123456789012...".
WString Digits(size_t length) {
  WString text;
  for (size_t i = 0; i < length; ++i) text.push_back(static_cast<kvtr::wchar>('0' + i % 10));
  return text;
}

// Makes `codePage` the ANSI code page on the POSIX layer. A Windows system
// keeps its own, so there only the branch of the code page it has runs.
bool UseAnsiCodePage(UINT codePage) {
#ifdef _WIN32
  return GetACP() == codePage;
#else
  return KvtrEmu_SetAnsiCodePage(codePage) != FALSE;
#endif
}

class QELStringTest : public ::testing::Test {
  kvtr::test::TestMachine machine_;  // the emulated machine's code page is restored after each test
};

TEST_F(QELStringTest, NoTextDiffersFromEmptyText) {
  QELString none;
  QELString fromNull(static_cast<const kvtr::wchar*>(nullptr));
  QELString narrowNull(static_cast<const char*>(nullptr), true);
  QELString assignedNull(W("x"));
  assignedNull.Assign(nullptr);
  QELString narrowAssignedNull(W("x"));
  narrowAssignedNull.AssignNarrow(nullptr);
  for (const QELString* s : {&none, &fromNull, &narrowNull, &assignedNull, &narrowAssignedNull}) {
    EXPECT_EQ(nullptr, s->CStr());
    EXPECT_EQ(nullptr, s->ToNarrow());
    EXPECT_EQ(0u, s->Length());
  }
  QELString empty(W(""));
  ASSERT_NE(nullptr, empty.CStr());
  EXPECT_EQ(0, empty.CStr()[0]);
  ASSERT_NE(nullptr, empty.ToNarrow());
  EXPECT_STREQ("", empty.ToNarrow());

  none.Append(static_cast<const kvtr::wchar*>(nullptr));
  none.Append(fromNull);
  EXPECT_EQ(nullptr, none.CStr()) << "appending nothing leaves no text";
  none.Append(W("abc"));
  EXPECT_EQ(WString(W("abc")), Text(none));
}

TEST_F(QELStringTest, FormattingKeepsAtMost1023Characters) {
  struct Case {
    size_t length;
    int result;
    size_t kept;
  };
  for (const Case& c : {Case{1022, 1022, 1022}, Case{1023, 1023, 1023}, Case{1024, -1, 1023}, Case{2000, -1, 1023}}) {
    SCOPED_TRACE(c.length);
    const WString argument = Digits(c.length);
    QELString s(W("old"));
    EXPECT_EQ(c.result, s.Format(W("%s"), argument.c_str()));
    EXPECT_EQ(argument.substr(0, c.kept), Text(s));

    // Narrow: 1024 bytes fit the buffer without a cut, but only 1023 stay.
    const std::string narrow = kvtr::NarrowAscii(Digits(c.length + 1));
    const int narrowResult = c.length + 1 <= 1024 ? static_cast<int>(std::min<size_t>(c.length + 1, 1023)) : -1;
    EXPECT_EQ(narrowResult, s.FormatNarrow("%s", narrow.c_str()));
    EXPECT_EQ(Digits(std::min<size_t>(c.length + 1, 1023)), Text(s));
  }
  QELString s;
  EXPECT_EQ(7, s.Format(W("%d-%s"), 12345, W("x")));
  EXPECT_EQ(WString(W("12345-x")), Text(s));
  EXPECT_EQ(5, s.FormatNarrow("%s%c%d", "ab", 'c', 12));
  EXPECT_EQ(WString(W("abc12")), Text(s));
}

TEST_F(QELStringTest, AppendFormatAnswersTheTargetsNewLength) {
  QELString target(W("ab"));
  EXPECT_EQ(6, QELString::AppendFormat(target, W("%d-%s"), 42, W("x")));
  EXPECT_EQ(WString(W("ab42-x")), Text(target));
  const WString long_ = Digits(2000);
  EXPECT_EQ(6 + 1023, QELString::AppendFormat(target, W("%s"), long_.c_str()));
  QELString none;
  EXPECT_EQ(3, QELString::AppendFormat(none, W("%s"), W("xyz")));
}

TEST_F(QELStringTest, ItsOwnTextCanBeTheSourceOfAChange) {
  QELString s(W("abc"));
  s.Format(W("[%s]"), s.CStr());
  EXPECT_EQ(WString(W("[abc]")), Text(s));
  s.Assign(s.CStr() + 1);
  EXPECT_EQ(WString(W("abc]")), Text(s));
  s.AssignCount(s.CStr() + 1, 2);
  EXPECT_EQ(WString(W("bc")), Text(s));
  s.Append(s);
  EXPECT_EQ(WString(W("bcbc")), Text(s));
  s.AssignNarrow(s.ToNarrow());
  EXPECT_EQ(WString(W("bcbc")), Text(s));
}

TEST_F(QELStringTest, TheNarrowViewIsKeptUntilTheNextChange) {
  struct Change {
    const char* name;
    std::function<void(QELString&)> apply;
    const char* narrow;
  };
  const Change changes[] = {
      {"Append", [](QELString& s) { s.Append(W("x")); }, " abc x"},
      {"Append string", [](QELString& s) { s.Append(QELString(W("y"))); }, " abc y"},
      {"Strip", [](QELString& s) { s.Strip(3); }, "abc"},
      {"Format", [](QELString& s) { s.Format(W("%d"), 7); }, "7"},
      {"FormatNarrow", [](QELString& s) { s.FormatNarrow("%s", "n"); }, "n"},
      {"Assign", [](QELString& s) { s.Assign(W("w")); }, "w"},
      {"AssignNarrow", [](QELString& s) { s.AssignNarrow("v"); }, "v"},
      {"AssignCount", [](QELString& s) { s.AssignCount(W("uvw"), 2); }, "uv"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    QELString s(W(" abc "));
    const char* first = s.ToNarrow();
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ(" abc ", first);
    EXPECT_EQ(first, s.ToNarrow()) << "no change: the same copy";
    change.apply(s);
    ASSERT_NE(nullptr, s.ToNarrow());
    EXPECT_STREQ(change.narrow, s.ToNarrow());
  }
}

TEST_F(QELStringTest, TheAnsiCodePageChoosesTheConversion) {
  // The built-in table maps U+FFFD to 0x81 and reads 0x81 as U+FFFD; the
  // platform's 1252 and UTF-8 conversions do neither.
  const WString wide{0x20AC, 0xFFFD, 'a'};
  bool ran = false;
  for (const UINT codePage : {1252u, 65001u}) {
    if (!UseAnsiCodePage(codePage)) continue;
    SCOPED_TRACE(codePage);
    ran = true;
    QELString s(wide.c_str());
    EXPECT_STREQ(codePage == 1252 ? "\x80\x81" "a" : "\xE2\x82\xAC\xEF\xBF\xBD" "a", s.ToNarrow());
    s.AssignNarrow("\x80\x81");
    EXPECT_EQ(codePage == 1252 ? (WString{0x20AC, 0xFFFD}) : (WString{0xFFFD, 0xFFFD}), Text(s));
  }
  if (!ran) {
    // A Windows system with another ANSI code page: the thread code page.
    QELString s(wide.c_str());
    char expected[16] = {};
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), -1, expected, sizeof expected, nullptr, nullptr);
    EXPECT_STREQ(expected, s.ToNarrow());
  }
  // The narrow constructor takes the caller's choice.
  EXPECT_EQ((WString{'c', 0x00E9, 0x20AC, 0xFFFD}), Text(QELString("c\xE9\x80\x81", /*useBuiltIn1252=*/true)));
}

#ifndef _WIN32
TEST_F(QELStringTest, EachChoiceKeepsItsOwnNarrowCopy) {
  // POSIX only: the code page changes under a living string.
  QELString s(W("\u20AC"));
  ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(1252));
  const char* windows1252 = s.ToNarrow();
  ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(65001));
  EXPECT_STREQ("\xE2\x82\xAC", s.ToNarrow());
  ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(1252));
  EXPECT_EQ(windows1252, s.ToNarrow());
  EXPECT_STREQ("\x80", windows1252);
}
#endif

TEST_F(QELStringTest, StripRemovesWhiteSpaceAtTheChosenEnds) {
  struct Case {
    const kvtr::wchar* text;
    int flags;
    const kvtr::wchar* stripped;
  };
  const Case cases[] = {
      {W("  a b  "), 1, W("a b  ")}, {W("  a b  "), 2, W("  a b")}, {W("  a b  "), 3, W("a b")},
      {W("  a b  "), 0, W("  a b  ")}, {W("   "), 3, W("")},      {W("   "), 2, W("")},
      {W("   "), 1, W("")},           {W("\t\r\n\v\f x"), 1, W("x")}, {W("x \t\r\n"), 2, W("x")},
      {W("x"), 3, W("x")},            {W(""), 3, W("")},          {W(" x"), 2, W(" x")},
  };
  for (const Case& c : cases) {
    QELString s(c.text);
    EXPECT_EQ(&s, &s.Strip(c.flags));
    EXPECT_EQ(WString(c.stripped), Text(s)) << kvtr::NarrowAscii(c.text) << " flags " << c.flags;
    EXPECT_EQ(WString(c.stripped).size(), s.Length());
  }
  QELString none;
  none.Strip(3);
  EXPECT_EQ(nullptr, none.CStr());
}

TEST_F(QELStringTest, AtAnswersTheRecordsNulOutOfRange) {
  QELString s(W("abc"));
  EXPECT_EQ(s.CStr(), s.At(0));
  EXPECT_EQ(s.CStr() + 2, s.At(2));
  const kvtr::wchar* nul = s.At(3);
  ASSERT_NE(nullptr, nul);
  EXPECT_EQ(0, *nul);
  EXPECT_NE(s.CStr() + 3, nul) << "not the text's own terminator";
  for (int index : {-1, 4, 1000, INT_MIN, INT_MAX}) EXPECT_EQ(nul, s.At(index)) << index;
  s.Assign(W("longer text"));
  EXPECT_EQ(0, *s.At(-1));
  QELString none;
  EXPECT_EQ(0, *none.At(0));
}

TEST_F(QELStringTest, AssignCountCopiesEmbeddedTerminators) {
  const kvtr::wchar units[] = {'a', 0, 'b', 'c'};
  QELString s(W("previous"));
  EXPECT_EQ(3u, s.AssignCount(units, 3));
  EXPECT_EQ(1u, s.Length());
  ASSERT_NE(nullptr, s.CStr());
  EXPECT_EQ(0, std::memcmp(units, s.CStr(), 3 * sizeof(kvtr::wchar)));
  EXPECT_EQ(0, s.CStr()[3]);
  EXPECT_STREQ("a", s.ToNarrow());
  EXPECT_EQ(0u, s.AssignCount(units, 0));
  EXPECT_EQ(WString(), Text(s));
  EXPECT_EQ(0u, s.AssignCount(nullptr, 5));
  EXPECT_EQ(nullptr, s.CStr());
}

TEST_F(QELStringTest, AFaultInsideTheViewsGivesNull) {
  // A string whose record pointer leads into unmapped memory (a string
  // used after its end looks like this): the views answer null.
  alignas(QELString) unsigned char bytes[sizeof(QELString)];
  {
    QELString valid(W("abc"));
    std::memcpy(bytes, static_cast<const void*>(&valid), sizeof bytes);
  }
  void* const unmapped = kvtr::test::MemoryPages::Unmapped();
  std::memcpy(bytes + sizeof(void*), &unmapped, sizeof unmapped);  // the record pointer follows the vtable's
  const QELString& broken = *std::launder(reinterpret_cast<const QELString*>(bytes));
  EXPECT_EQ(nullptr, broken.CStr());
  EXPECT_EQ(nullptr, broken.ToNarrow());
}

}  // namespace
}  // namespace qel
