// Narrow/wide conversions, the built-in Windows-1252 table, upper-casing and
// the case-insensitive containment test.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "common_utils/text/conversions.h"
#include "common_utils/text/no_case.h"
#include "common_utils/text/windows_1252.h"
#include "support/test_machine.h"

namespace kvtr::text {
namespace {

TEST(Windows1252, HighBytesFollowTheTable) {
  EXPECT_EQ(0x20AC, Windows1252ToWide(0x80));
  EXPECT_EQ(0xFFFD, Windows1252ToWide(0x81));
  EXPECT_EQ(0x00E9, Windows1252ToWide(0xE9));
  EXPECT_EQ(0x0178, Windows1252ToWide(0x9F));
  EXPECT_EQ('\x80', WideToWindows1252(0x20AC));
  EXPECT_EQ('\x81', WideToWindows1252(0xFFFD));
  EXPECT_EQ('?', WideToWindows1252(0x4E2D));
  EXPECT_EQ('\x85', WideToWindows1252(0x0085));
  EXPECT_EQ('\0', WideToWindows1252(0));
}

TEST(ConversionObjects, BuiltInRoutesGiveTheSameTextOnEitherSideOfTheLimit) {
  for (size_t length : {1023u, 1024u}) {
    std::string narrow(length, 'a');
    narrow[0] = '\x80';
    wchar* slot = nullptr;
    { NarrowToWideConversion convert(narrow.c_str(), /*useBuiltIn1252=*/true, &slot); EXPECT_FALSE(convert.ownsResult()); }
    ASSERT_NE(nullptr, slot) << length;
    EXPECT_EQ(length, WideLength(slot));
    EXPECT_EQ(0x20AC, slot[0]);
    EXPECT_EQ(wchar('a'), slot[length - 1]);

    char* back = nullptr;
    { WideToNarrowConversion convert(slot, /*useBuiltIn1252=*/true, &back); }
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(narrow, std::string(back));
    WipeAndRelease(slot);
    WipeAndRelease(back);
  }
}

TEST(ConversionObjects, PlatformRoutesUseTheThreadCodePage) {
  for (size_t length : {10u, 1500u}) {
    const std::string narrow(length, 'z');
    NarrowToWideConversion owned(narrow.c_str(), /*useBuiltIn1252=*/false);
    ASSERT_TRUE(owned.ownsResult());
    EXPECT_EQ(WString(length, 'z'), WString(owned.result()));

    char* back = nullptr;
    { WideToNarrowConversion convert(owned.result(), /*useBuiltIn1252=*/false, &back); }
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(narrow, std::string(back));
    WipeAndRelease(back);
  }
}

TEST(ConversionObjects, NullSourcesGiveNullResults) {
  wchar* wide = reinterpret_cast<wchar*>(1);
  NarrowToWideConversion fromNull(nullptr, false, &wide);
  EXPECT_EQ(nullptr, wide);
  WideToNarrowConversion ownedNull(nullptr, true);
  EXPECT_EQ(nullptr, ownedNull.result());
  EXPECT_FALSE(ownedNull.ownsResult());
}

TEST(StandardStrings, ConvertWithTheGivenCodePage) {
  EXPECT_EQ(WString(), ToWideString(std::string(), CP_UTF8));
  EXPECT_EQ(std::string(), ToNarrowString(WString(), CP_UTF8));
  EXPECT_EQ((WString{'a', 0x00E9}), ToWideString("a\xC3\xA9", CP_UTF8));
  EXPECT_EQ((WString{'a', 0x00E9}), ToWideString("a\xE9", 1252));
  EXPECT_EQ("a\xC3\xA9", ToNarrowString(WString{'a', 0x00E9}, CP_UTF8));
  EXPECT_EQ("plain", ToNarrowString(W("plain"), -1));
  // The source's exact length counts, not its first terminator.
  const std::string embedded("a\0b", 3);
  EXPECT_EQ(WString(W("a")), ToWideString(embedded, CP_UTF8));
}

TEST(CodePageFunctions, WidenAndNarrowWholeTexts) {
  wchar wide[8];
  EXPECT_EQ(wide, WidenWithCodePage(wide, "abc", 8, CP_UTF8));
  EXPECT_EQ(WString(W("abc")), WString(wide));
  EXPECT_EQ(nullptr, WidenWithCodePage(wide, "abcdefghij", 4, CP_UTF8));
  EXPECT_EQ(0, wide[0]) << "a failed conversion leaves an empty text";
  EXPECT_EQ(nullptr, WidenWithCodePage(nullptr, "abc", 8, CP_UTF8));
  char narrow[8];
  EXPECT_EQ(narrow, NarrowWithCodePage(narrow, W("xyz"), 8, CP_UTF8));
  EXPECT_STREQ("xyz", narrow);
  EXPECT_EQ(nullptr, NarrowWithCodePage(narrow, nullptr, 8, CP_UTF8));
}

TEST(UpperCase, LocaleNamesFollowTheCodePage) {
  EXPECT_EQ(".1252", LocaleNameForCodePage(-1));
  EXPECT_EQ(". 437", LocaleNameForCodePage(437));
  EXPECT_EQ(".65001", LocaleNameForCodePage(65001));
  EXPECT_THROW(ToUpperInCodePage(W("x"), 12345), std::runtime_error);
}

TEST(UpperCase, ContainsNoCaseMatchesAnyCase) {
  EXPECT_TRUE(ContainsNoCase(W("abc"), W("xxABCxx")));
  EXPECT_FALSE(ContainsNoCase(W("abd"), W("xxABCxx")));
  EXPECT_TRUE(ContainsNoCase(W(""), W("anything")));
  EXPECT_TRUE(ContainsNoCase(W("agentwmiperf.mof"), W("C:\\X\\OldAgentWMIPerf.mof.bak")));
  EXPECT_TRUE(ContainsNoCase(WString{0x00E9}, WString{'C', 'A', 'F', 0x00C9}));
  EXPECT_EQ(WString(W("MIXED 123")), ToUpperInCodePage(W("MiXeD 123"), -1));
}

// Narrow names fold ASCII letters only, and sort as their folded bytes; wide
// names fold as the system upper-cases, beyond ASCII too.
TEST(UpperCase, NamesCompareWithoutRegardToCase) {
  struct Narrow {
    const char* a;
    const char* b;
    int order;
  } narrow[] = {
      {"/TCP", "/tcp", 0}, {"Abc", "abd", -1}, {"abc", "ab", 1}, {"", "", 0},
      {"[", "A", -1},  // folded, "A" sorts as "a": after "["
      {"\xC9", "\xE9", -1},  // bytes above ASCII are never folded
  };
  for (const Narrow& c : narrow) {
    const int order = CompareNoCase(c.a, c.b);
    EXPECT_EQ(c.order, (order > 0) - (order < 0)) << c.a << " / " << c.b;
    EXPECT_EQ(c.order == 0, EqualNoCase(std::string_view(c.a), std::string_view(c.b))) << c.a;
  }
  EXPECT_TRUE(EqualNoCase(W("ID Process"), W("id process")));
  EXPECT_FALSE(EqualNoCase(W("ID Process"), W("id process ")));
  EXPECT_FALSE(EqualNoCase(W("a"), W("[")));
  EXPECT_TRUE(EqualNoCase(WString{'C', 'a', 'f', 0x00E9}, WString{'c', 'A', 'F', 0x00C9}));
  EXPECT_TRUE(EqualNoCase(WString{0x0161, 0x0153}, WString{0x0160, 0x0152}));  // š œ, Š Œ
  EXPECT_FALSE(EqualNoCase(WString{0x00E9}, WString{0x00C8}));
}

}  // namespace
}  // namespace kvtr::text
