// System error texts (FormatMessageW/A, LocalFree) and the per-thread last
// error.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

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
