// QELString: no text versus empty text, bounded formatting, the narrow
// views and the code page choice, Strip, At and AssignCount.
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

WString Digits(size_t length) {  // "0123456789012..."
  WString text;
  for (size_t i = 0; i < length; ++i) text.push_back(static_cast<kvtr::wchar>('0' + i % 10));
  return text;
}

class QELStringTest : public ::testing::Test {
  kvtr::test::TestMachine machine_;  // restores the emulated code page
};

TEST_F(QELStringTest, NoTextDiffersFromEmptyText) {
  QELString none, fromNull(static_cast<const kvtr::wchar*>(nullptr)), narrowNull(nullptr, true);
  QELString assignedNull(W("x")), narrowAssignedNull(W("x"));
  assignedNull.Assign(nullptr);
  narrowAssignedNull.AssignNarrow(nullptr);
  for (const QELString* s : {&none, &fromNull, &narrowNull, &assignedNull, &narrowAssignedNull}) {
    EXPECT_EQ(nullptr, s->CStr());
    EXPECT_EQ(nullptr, s->ToNarrow());
    EXPECT_EQ(0u, s->Length());
  }
  QELString empty(W(""));
  EXPECT_EQ(WString(), Text(empty));
  EXPECT_STREQ("", empty.ToNarrow());
  none.Append(static_cast<const kvtr::wchar*>(nullptr));
  none.Append(fromNull);
  EXPECT_EQ(nullptr, none.CStr());
  none.Append(W("abc"));
  EXPECT_EQ(WString(W("abc")), Text(none));
}

TEST_F(QELStringTest, FormattingKeepsAtMost1023Characters) {
  for (const size_t length : {1022u, 1023u, 1024u, 2000u}) {
    SCOPED_TRACE(length);
    QELString s(W("old"));
    const WString wide = Digits(length);
    EXPECT_EQ(length <= 1023 ? static_cast<int>(length) : -1, s.Format(W("%s"), wide.c_str()));
    EXPECT_EQ(wide.substr(0, 1023), Text(s));
    // Narrow: 1024 bytes fit the buffer uncut, but only 1023 are kept.
    const std::string narrow = kvtr::NarrowAscii(Digits(length + 1));
    EXPECT_EQ(length + 1 <= 1024 ? static_cast<int>(std::min<size_t>(length + 1, 1023)) : -1,
              s.FormatNarrow("%s", narrow.c_str()));
    EXPECT_EQ(Digits(std::min<size_t>(length + 1, 1023)), Text(s));
  }
  QELString target(W("ab"));
  EXPECT_EQ(6, QELString::AppendFormat(target, W("%d-%s"), 42, W("x")));
  EXPECT_EQ(WString(W("ab42-x")), Text(target));
  const WString long_ = Digits(2000);
  EXPECT_EQ(6 + 1023, QELString::AppendFormat(target, W("%s"), long_.c_str()));
}

TEST_F(QELStringTest, ItsOwnTextCanBeTheSourceOfAChange) {
  QELString s(W("abc"));
  s.Format(W("[%s]"), s.CStr());
  EXPECT_EQ(WString(W("[abc]")), Text(s));
  s.Assign(s.CStr() + 1);
  s.AssignCount(s.CStr() + 1, 2);
  s.Append(s);
  EXPECT_EQ(WString(W("bcbc")), Text(s));
  s.AssignNarrow(s.ToNarrow());
  EXPECT_EQ(WString(W("bcbc")), Text(s));
}

TEST_F(QELStringTest, TheNarrowViewIsKeptUntilTheNextChange) {
  const std::pair<std::function<void(QELString&)>, const char*> changes[] = {
      {[](QELString& s) { s.Append(W("x")); }, " abc x"},
      {[](QELString& s) { s.Append(QELString(W("y"))); }, " abc y"},
      {[](QELString& s) { s.Strip(3); }, "abc"},
      {[](QELString& s) { s.Format(W("%d"), 7); }, "7"},
      {[](QELString& s) { s.FormatNarrow("%s", "n"); }, "n"},
      {[](QELString& s) { s.AssignCount(W("uvw"), 2); }, "uv"},
  };
  for (const auto& [change, narrow] : changes) {
    QELString s(W(" abc "));
    const char* first = s.ToNarrow();
    EXPECT_STREQ(" abc ", first);
    EXPECT_EQ(first, s.ToNarrow()) << "no change: the same copy";
    change(s);
    EXPECT_STREQ(narrow, s.ToNarrow());
  }
}

TEST_F(QELStringTest, TheAnsiCodePageChoosesTheConversion) {
  // The built-in table maps U+FFFD to 0x81 and back; the platform's 1252
  // and UTF-8 conversions do not. POSIX selects each code page in turn; a
  // Windows system (Wine: 1252) runs the branch of its own.
  const WString wide{0x20AC, 0xFFFD, 'a'};
  QELString kept(wide.c_str());
  for (const UINT codePage : {1252u, 65001u}) {
#ifdef _WIN32
    if (GetACP() != codePage) continue;
#else
    ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(codePage));
#endif
    SCOPED_TRACE(codePage);
    const char* expected = codePage == 1252 ? "\x80\x81" "a" : "\xE2\x82\xAC\xEF\xBF\xBD" "a";
    EXPECT_STREQ(expected, QELString(wide.c_str()).ToNarrow());
    EXPECT_STREQ(expected, kept.ToNarrow()) << "each choice has its own copy";
    QELString s;
    s.AssignNarrow("\x80\x81");
    EXPECT_EQ(codePage == 1252 ? (WString{0x20AC, 0xFFFD}) : (WString{0xFFFD, 0xFFFD}), Text(s));
  }
  EXPECT_EQ((WString{'c', 0x00E9, 0x20AC, 0xFFFD}), Text(QELString("c\xE9\x80\x81", /*useBuiltIn1252=*/true)));
}

TEST_F(QELStringTest, StripRemovesWhiteSpaceAtTheChosenEnds) {
  const struct {
    const kvtr::wchar* text;
    int flags;
    const kvtr::wchar* stripped;
  } cases[] = {
      {W("  a b  "), 1, W("a b  ")}, {W("  a b  "), 2, W("  a b")}, {W("  a b  "), 3, W("a b")},
      {W("  a b  "), 0, W("  a b  ")}, {W("   "), 3, W("")}, {W("   "), 2, W("")}, {W("   "), 1, W("")},
      {W("\t\r\n\v\f x"), 1, W("x")}, {W("x \t\r\n"), 2, W("x")}, {W("x"), 3, W("x")}, {W(" x"), 2, W(" x")},
  };
  for (const auto& c : cases) {
    QELString s(c.text);
    EXPECT_EQ(&s, &s.Strip(c.flags));
    EXPECT_EQ(WString(c.stripped), Text(s)) << kvtr::NarrowAscii(c.text) << " flags " << c.flags;
    EXPECT_EQ(WString(c.stripped).size(), s.Length());
  }
  QELString none;
  EXPECT_EQ(nullptr, none.Strip(3).CStr());
}

TEST_F(QELStringTest, AtAnswersTheRecordsNulOutOfRange) {
  QELString s(W("abc")), none;
  EXPECT_EQ(s.CStr() + 2, s.At(2));
  const kvtr::wchar* nul = s.At(3);
  EXPECT_EQ(0, *nul);
  EXPECT_NE(s.CStr() + 3, nul) << "not the text's own terminator";
  for (int index : {-1, 4, INT_MIN, INT_MAX}) EXPECT_EQ(nul, s.At(index)) << index;
  EXPECT_EQ(0, *none.At(0));
}

TEST_F(QELStringTest, AssignCountCopiesEmbeddedTerminators) {
  const kvtr::wchar units[] = {'a', 0, 'b', 'c'};
  QELString s(W("previous"));
  EXPECT_EQ(3u, s.AssignCount(units, 3));
  EXPECT_EQ(1u, s.Length());
  EXPECT_EQ(0, std::memcmp(units, s.CStr(), 3 * sizeof(kvtr::wchar)));
  EXPECT_EQ(0, s.CStr()[3]);
  EXPECT_STREQ("a", s.ToNarrow());
  EXPECT_EQ(0u, s.AssignCount(units, 0));
  EXPECT_EQ(WString(), Text(s));
  EXPECT_EQ(0u, s.AssignCount(nullptr, 5));
  EXPECT_EQ(nullptr, s.CStr());
}

TEST_F(QELStringTest, AFaultInsideTheViewsGivesNull) {
  // A string whose record pointer (after the vtable pointer) leads into
  // unmapped memory, as a string used after its end may look.
  alignas(QELString) unsigned char bytes[sizeof(QELString)];
  {
    QELString valid(W("abc"));
    std::memcpy(bytes, static_cast<const void*>(&valid), sizeof bytes);
  }
  void* const unmapped = kvtr::test::MemoryPages::Unmapped();
  std::memcpy(bytes + sizeof(void*), &unmapped, sizeof unmapped);
  const QELString& broken = *std::launder(reinterpret_cast<const QELString*>(bytes));
  EXPECT_EQ(nullptr, broken.CStr());
  EXPECT_EQ(nullptr, broken.ToNarrow());
}

}  // namespace
}  // namespace qel
