// System error texts (FormatMessageW/A, LocalFree) and the per-thread last
// error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <iterator>
#include <thread>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinelError = 0xdeadbeef;
constexpr DWORD kNoWorkDone = 235;  // ERROR_NO_WORK_DONE, which mingw's headers lack
constexpr DWORD kFromSystem = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

WString SystemText(DWORD code) {
  WCHAR* text = nullptr;
  const DWORD length = FormatMessageW(kFromSystem, nullptr, code, 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  WString result = length ? WString(text, length) : WString();
  if (text != nullptr) {
    EXPECT_EQ(nullptr, LocalFree(text));
  }
  return result;
}

TEST(ErrorTexts, SystemTextsAreWindowsOwnWithTheirLineEnd) {
  struct Case {
    DWORD code;
    const WCHAR* windows;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, W("The system cannot find the file specified.\r\n")},
      {ERROR_PATH_NOT_FOUND, W("The system cannot find the path specified.\r\n")},
      {ERROR_ACCESS_DENIED, W("Access is denied.\r\n")},
      {ERROR_SHARING_VIOLATION,
       W("The process cannot access the file because it is being used by another process.\r\n")},
  };
  for (const Case& c : cases) {
    const WString text = SystemText(c.code);
    if (WineDiffers("FormatMessage texts are Wine's own short texts")) {
      ASSERT_GE(text.size(), 3u) << c.code;
      EXPECT_EQ(WString(W("\r\n")), text.substr(text.size() - 2)) << c.code;
    } else {
      EXPECT_EQ(WString(c.windows), text) << c.code;
    }
  }
}

TEST(ErrorTexts, NarrowTextsMatchTheWideOnes) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(0u, length);
  EXPECT_EQ(NarrowAscii(SystemText(ERROR_ACCESS_DENIED)), std::string(text, length));
  LocalFree(text);
}

TEST(ErrorTexts, UnknownCodesAndSmallBuffersFail) {
  WCHAR* text = nullptr;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, FormatMessageW(kFromSystem, nullptr, 0x12345, 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());

  WCHAR small[5];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               ERROR_FILE_NOT_FOUND, 0x400, small, 5, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  WCHAR roomy[256];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      ERROR_FILE_NOT_FOUND, 0x400, roomy, 256, nullptr);
  EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), WString(roomy, length));
}

TEST(ErrorTexts, ComFailuresHaveTexts) {
  if (WineDiffers("Wine has no system text for COM class errors")) {
    EXPECT_TRUE(SystemText(static_cast<DWORD>(REGDB_E_CLASSNOTREG)).empty());
  } else {
    EXPECT_EQ(WString(W("Class not registered\r\n")), SystemText(static_cast<DWORD>(REGDB_E_CLASSNOTREG)));
  }
}

// ---- a message definition given as text ----

ULONG_PTR Pointer(const void* text) { return reinterpret_cast<ULONG_PTR>(text); }

// FormatMessageW from a string with an argument array; `text` is left as
// the call left it.
DWORD FromStringW(DWORD flags, const WCHAR* definition, const ULONG_PTR* arguments, WString& text) {
  WCHAR out[256];
  std::fill(std::begin(out), std::end(out), WCHAR('#'));
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, definition, 0, 0, out, 256,
                                      reinterpret_cast<va_list*>(const_cast<ULONG_PTR*>(arguments)));
  text = WString(out, std::find(out, out + 256, WCHAR(0)));
  return length;
}

DWORD VariadicW(DWORD flags, const WCHAR* definition, WCHAR* out, DWORD size, ...) {
  va_list list;
  va_start(list, size);
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, definition, 0, 0, out, size, &list);
  va_end(list);
  return length;
}

DWORD VariadicA(DWORD flags, const char* definition, char* out, DWORD size, ...) {
  va_list list;
  va_start(list, size);
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | flags, definition, 0, 0, out, size, &list);
  va_end(list);
  return length;
}

TEST(MessageText, InsertsEscapesAndLineBreaksAreFormatted) {
  constexpr DWORD kArray = FORMAT_MESSAGE_ARGUMENT_ARRAY;
  const ULONG_PTR qAnd42[] = {Pointer(W("Q")), 42};
  const ULONG_PTR stars[] = {6, 4, 2, 5, 3, 1};
  const ULONG_PTR noText[] = {0};
  const ULONG_PTR numbers[] = {1, 11, 3, 0x1AB};
  const ULONG_PTR characters[] = {'t', 'e', Pointer("narrow")};
  const struct {
    DWORD flags;
    const WCHAR* definition;
    const ULONG_PTR* arguments;
    const WCHAR* expected;
  } kCases[] = {
      {kArray, W("x%1y%2!d!z"), qAnd42, W("xQy42z")},
      {kArray | FORMAT_MESSAGE_IGNORE_INSERTS, W("x%1y%2!d!z"), qAnd42, W("x%1y%2!d!z")},
      {FORMAT_MESSAGE_IGNORE_INSERTS, W("%1 %% %n"), nullptr, W("%1 %% \r\n")},
      {0, W("a%%b%.c%!d% e%tf%rg%nh"), nullptr, W("a%b.c!d e\tf\rg\r\nh")},
      {0, W("test%0tail"), nullptr, W("test")},
      {0, W("hi\n"), nullptr, W("hi\r\n")},
      {0, W("\r\r\n"), nullptr, W("\r\n\r\n")},
      {FORMAT_MESSAGE_MAX_WIDTH_MASK, W("hi\r\nthere\n"), nullptr, W("hi there ")},
      {kArray, W("[%1!4d!][%2!-4X!][%3!4.2u!][%4!x!]"), numbers, W("[   1][B   ][  03][1ab]")},
      {kArray, W("%1!*.*u!,%1!*.*u!"), stars, W("  0002, 00003")},
      {kArray, W("%1!c!%2!lc!%3!S!%3!.3hs!"), characters, W("tenarrownar")},
      {kArray, W("%1"), noText, W("(null)")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(NarrowAscii(c.definition));
    WString text;
    const DWORD length = FromStringW(c.flags, c.definition, c.arguments, text);
    EXPECT_EQ(WString(c.expected), text);
    EXPECT_EQ(text.size(), length);
  }
}

TEST(MessageText, VariadicArgumentsAndTheNarrowFunction) {
  WCHAR wide[64];
  // With a va_list, a width or precision from an argument uses the
  // arguments in order, as Windows does.
  EXPECT_EQ(11u, VariadicW(0, W("%1!*.*u!,%1!*.*u!"), wide, 64, 5, 3, 1, 4, 2));
  EXPECT_EQ(WString(W("  001, 0002")), WString(wide));
  EXPECT_EQ(5u, VariadicW(0, W("%2%1%2"), wide, 64, W("b"), W("ab")));
  EXPECT_EQ(WString(W("abbab")), WString(wide));

  char narrow[64];
  EXPECT_EQ(8u, VariadicA(0, "x%1y%2!S!%3!d!", narrow, 64, "Q", W("wide"), 7));
  EXPECT_EQ(std::string("xQywide7"), std::string(narrow));
}

TEST(MessageText, BadDefinitionsAndMissingArgumentsFail) {
  for (const WCHAR* definition : {W("%"), W("test%")}) {
    SCOPED_TRACE(NarrowAscii(definition));
    WString text;
    SetLastError(kSentinelError);
    EXPECT_EQ(0u, FromStringW(0, definition, nullptr, text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  for (const DWORD flags : {DWORD{0}, DWORD{FORMAT_MESSAGE_ARGUMENT_ARRAY}}) {
    WString text;
    SetLastError(kSentinelError);
    EXPECT_EQ(0u, FromStringW(flags, W("%1"), nullptr, text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(WString(256, WCHAR('#')), text.substr(0, 256));
  }
  // Nothing to format: no work done; a narrow caller's buffer is left.
  char narrow[4] = {'x', 'x', 'x', 0};
  SetLastError(kSentinelError);
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "", 0, 0, narrow, 4, nullptr));
  EXPECT_EQ(kNoWorkDone, GetLastError());
  EXPECT_STREQ("xxx", narrow);
}

TEST(LastError, EachThreadHasItsOwn) {
  // The threads meet through atomics only, so that no call between setting
  // and reading a last error can change it.
  std::atomic<int> stage{0};
  DWORD seenByFirst = 0;
  std::thread first([&] {
    SetLastError(1111);
    stage = 1;
    while (stage.load() != 2) {
    }
    seenByFirst = GetLastError();
  });
  std::thread second([&] {
    while (stage.load() != 1) {
    }
    SetLastError(2222);
    stage = 2;
  });
  first.join();
  second.join();
  EXPECT_EQ(1111u, seenByFirst);
}

}  // namespace
}  // namespace kvtr::test
