// Events (manual and auto reset, waking waiters) and critical sections
// (recursion, exclusion of other threads).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kTimeout = static_cast<DWORD>(WAIT_TIMEOUT);

TEST(Events, ResetModeAndInitialStateDecideWhatWaitsSee) {
  const struct {
    BOOL manual, initial;
    DWORD first, second;  // waits on the new event, then after SetEvent twice
    DWORD firstSet, secondSet;
  } kCases[] = {
      {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {TRUE, FALSE, kTimeout, kTimeout, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {FALSE, TRUE, WAIT_OBJECT_0, kTimeout, WAIT_OBJECT_0, kTimeout},
      {FALSE, FALSE, kTimeout, kTimeout, WAIT_OBJECT_0, kTimeout},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "manual=" << c.manual << " initial=" << c.initial);
    SetLastError(kSentinel);
    HANDLE event = CreateEventA(nullptr, c.manual, c.initial, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(c.first, WaitForSingleObject(event, 0));
    EXPECT_EQ(c.second, WaitForSingleObject(event, 0));
    SetLastError(kSentinel);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));  // no count: set is set
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(c.firstSet, WaitForSingleObject(event, 0));
    EXPECT_EQ(c.secondSet, WaitForSingleObject(event, 10));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(kTimeout, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
  }
}

// Three threads wait without limit: a manual-reset event releases them
// all, an auto-reset event one per SetEvent.
TEST(Events, SetEventReleasesWaitingThreads) {
  for (BOOL manual : {TRUE, FALSE}) {
    SCOPED_TRACE(manual);
    HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] { released += WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, released);
    for (int count : {manual ? 3 : 1, manual ? 3 : 2, 3}) {
      ASSERT_TRUE(SetEvent(event));
      while (released < count) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_EQ(count, released);
    }
    for (std::thread& waiter : waiters) waiter.join();
    CloseHandle(event);
  }
}

TEST(Events, NamesAndHandlesOfOtherKinds) {
  HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, "");
  EXPECT_NE(nullptr, unnamed);
  HANDLE named = CreateEventA(nullptr, TRUE, FALSE, "kvtr-events-test");
  if (LayerDiffers("named events are not served")) {
    EXPECT_EQ(nullptr, named);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
  } else {
    EXPECT_NE(nullptr, named);
    CloseHandle(named);
  }
  HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE other : {static_cast<HANDLE>(nullptr), closed, GetCurrentThread(), GetCurrentProcess()}) {
    SCOPED_TRACE(other);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEvent(other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(ResetEvent(other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  CloseHandle(unnamed);
}

bool OtherThreadEnters(CRITICAL_SECTION& section) {
  bool entered = false;
  std::thread([&] {
    entered = TryEnterCriticalSection(&section) != FALSE;
    if (entered) LeaveCriticalSection(&section);
  }).join();
  return entered;
}

TEST(CriticalSections, OwnerEntersAgainAndLeavesAsOften) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  EnterCriticalSection(&section);
  EXPECT_FALSE(OtherThreadEnters(section));
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_FALSE(OtherThreadEnters(section));
  LeaveCriticalSection(&section);
  EXPECT_TRUE(OtherThreadEnters(section));
  DeleteCriticalSection(&section);
}

}  // namespace
}  // namespace kvtr::test
