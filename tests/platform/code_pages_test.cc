// Code-page conversions through MultiByteToWideChar / WideCharToMultiByte:
// sizes, round trips, invalid input and Windows' error codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

WString Widen(UINT codePage, const std::string& bytes, DWORD flags = 0) {
  const int needed = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  WString out(static_cast<size_t>(needed > 0 ? needed : 0), 0);
  if (needed > 0) MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), needed);
  return out;
}

std::string Narrow(UINT codePage, const WString& text, const char* defaultChar = nullptr, BOOL* used = nullptr) {
  const int needed = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         defaultChar, used);
  std::string out(static_cast<size_t>(needed > 0 ? needed : 0), 0);
  if (needed > 0) {
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, defaultChar, used);
  }
  return out;
}

TEST(CodePages, Utf8RoundTripsEveryPlane) {
  const WString text = WString(W("A\u00e9\u20ac")) + WString{0xD83D, 0xDE00};  // A é € 😀
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(utf8, Narrow(CP_UTF8, text));
  EXPECT_EQ(text, Widen(CP_UTF8, utf8));
}

TEST(CodePages, Windows1252MapsItsHighRange) {
  EXPECT_EQ(WString(1, 0x20AC), Widen(1252, "\x80"));
  EXPECT_EQ(WString(1, 0x0178), Widen(1252, "\x9F"));
  EXPECT_EQ(WString(1, 0x00E9), Widen(1252, "\xE9"));
  EXPECT_EQ("\x80\xE9", Narrow(1252, WString{0x20AC, 0x00E9}));
}

TEST(CodePages, UnmappableCharactersBecomeTheDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ("a?b", Narrow(1252, WString{'a', 0x4E2D, 'b'}, nullptr, &used));
  EXPECT_TRUE(used);
  used = TRUE;
  EXPECT_EQ("ab", Narrow(1252, W("ab"), nullptr, &used));
  EXPECT_FALSE(used);
  EXPECT_EQ("a#", Narrow(1252, WString{'a', 0x4E2D}, "#", &used));
}

// Code page 1252 writes a character it lacks as Windows' best fit, without
// reporting the default character, unless WC_NO_BEST_FIT_CHARS is given.
TEST(CodePages, Windows1252WritesBestFitsUnlessToldNotTo) {
  const WString lacking{0x0100, 0x0101, 0x0141, 0x2010, 0x221E, 0x3000, 0xFF21};
  BOOL used = TRUE;
  EXPECT_EQ("AaL-8 A", Narrow(1252, lacking, nullptr, &used));
  EXPECT_FALSE(used);
  char out[16] = {};
  used = FALSE;
  const int written = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, lacking.data(), static_cast<int>(lacking.size()),
                                          out, sizeof out, nullptr, &used);
  EXPECT_EQ(7, written);
  EXPECT_EQ("???????", std::string(out, 7));
  EXPECT_TRUE(used);
  // A character with no best fit stays the default one.
  EXPECT_EQ("?", Narrow(1252, WString{0x4E2D}, nullptr, &used));
  EXPECT_TRUE(used);
}

TEST(CodePages, SizesCountTheTerminatorOnlyWhenAskedTo) {
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
  EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
  EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, W("abc"), -1, nullptr, 0, nullptr, nullptr));
  WCHAR out[4];
  ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 4));
  EXPECT_EQ(WString(W("abc")), WString(out));
}

TEST(CodePages, FailuresCarryWindowsCodes) {
  WCHAR small[2];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, small, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, small, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  // UTF-8 has no default character.
  char narrow[8];
  BOOL used = FALSE;
  SetLastError(0xdeadbeef);
  const int converted = WideCharToMultiByte(CP_UTF8, 0, W("a"), -1, narrow, 8, "?", &used);
  if (WineDiffers("UTF-8 conversion ignores a default character instead of refusing it")) {
    EXPECT_EQ(2, converted);
  } else {
    EXPECT_EQ(0, converted);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

TEST(CodePages, InvalidUtf8IsReplacedOrRefused) {
  const std::string broken = "a\xFF" "b";
  EXPECT_EQ((WString{'a', 0xFFFD, 'b'}), Widen(CP_UTF8, broken));
  WCHAR out[8];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, broken.c_str(), -1, out, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(CodePages, TheAnsiCodePageIsTheOneGetAcpNames) {
  const UINT acp = GetACP();
  const std::string bytes = "plain ascii";
  EXPECT_EQ(Widen(acp, bytes), Widen(CP_ACP, bytes));
  EXPECT_EQ(Widen(acp, bytes), Widen(CP_THREAD_ACP, bytes));
  EXPECT_EQ(WidenAscii(bytes), Widen(CP_ACP, bytes));
}

}  // namespace
}  // namespace kvtr::test
