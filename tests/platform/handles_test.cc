// Kernel object handles: closing, waiting on each kind of object, and the
// pseudo-handles of the current process and thread.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

unsigned __stdcall ReturnAtOnce(void*) { return 0; }

TEST(Handles, NullClosedAndUnknownHandlesAreInvalid) {
  HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(nullptr, closed);
  ASSERT_TRUE(CloseHandle(closed));
  const struct {
    const char* what;
    HANDLE handle;
  } kCases[] = {
      {"null", nullptr},
      {"closed", closed},
      {"never opened", reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFF0000))},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(c.handle, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(c.handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
}

TEST(Handles, PseudoHandlesStayUsableWhenClosed) {
  EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)), GetCurrentProcess());
  EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)), GetCurrentThread());
  for (HANDLE pseudo : {GetCurrentProcess(), GetCurrentThread()}) {
    SCOPED_TRACE(reinterpret_cast<intptr_t>(pseudo));
    SetLastError(kSentinel);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(pseudo, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(pseudo, 10));
    EXPECT_TRUE(CloseHandle(pseudo));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(pseudo, 0));
  }
}

// Every waitable kind, signalled and not, with the same answers the next
// time (a wait on these consumes nothing).
TEST(Handles, WaitAnswersEveryKindOfObject) {
  HANDLE finished = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr));
  HANDLE suspended = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReturnAtOnce, nullptr, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(nullptr, finished);
  ASSERT_NE(nullptr, suspended);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(finished, INFINITE));
  const struct {
    const char* what;
    HANDLE handle;
    DWORD expected;
  } kCases[] = {
      {"set event", CreateEventA(nullptr, TRUE, TRUE, nullptr), WAIT_OBJECT_0},
      {"unset event", CreateEventA(nullptr, TRUE, FALSE, nullptr), static_cast<DWORD>(WAIT_TIMEOUT)},
      {"finished thread", finished, WAIT_OBJECT_0},
      {"suspended thread", suspended, static_cast<DWORD>(WAIT_TIMEOUT)},
      {"own process", OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()), static_cast<DWORD>(WAIT_TIMEOUT)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(nullptr, c.handle);
    SetLastError(kSentinel);
    EXPECT_EQ(c.expected, WaitForSingleObject(c.handle, 0));
    EXPECT_EQ(c.expected, WaitForSingleObject(c.handle, 20));
    EXPECT_EQ(kSentinel, GetLastError());
  }
  EXPECT_EQ(1u, ResumeThread(suspended));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(suspended, INFINITE));
  for (const auto& c : kCases) EXPECT_TRUE(CloseHandle(c.handle)) << c.what;
}

}  // namespace
}  // namespace kvtr::test
