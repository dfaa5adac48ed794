// Events (manual and auto reset, waking waiters) and critical sections
// (recursion, exclusion).
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
    BOOL manual;
    BOOL initial;
    DWORD firstWait, secondWait;  // on the new event
    DWORD afterSet1, afterSet2;   // after SetEvent
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
    EXPECT_EQ(c.firstWait, WaitForSingleObject(event, 0));
    EXPECT_EQ(c.secondWait, WaitForSingleObject(event, 0));
    SetLastError(kSentinel);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));  // a set event stays set once: no count
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(c.afterSet1, WaitForSingleObject(event, 0));
    EXPECT_EQ(c.afterSet2, WaitForSingleObject(event, 10));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(kTimeout, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
  }
}

// Threads blocked without limit: a manual-reset event releases them all,
// an auto-reset event one per SetEvent.
TEST(Events, SetEventReleasesWaitingThreads) {
  for (BOOL manual : {TRUE, FALSE}) {
    SCOPED_TRACE(manual);
    HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, released);
    const int expected[] = {manual ? 3 : 1, manual ? 3 : 2, 3};
    for (int count : expected) {
      ASSERT_TRUE(SetEvent(event));
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (released < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_EQ(count, released);
    }
    for (std::thread& waiter : waiters) waiter.join();
    CloseHandle(event);
  }
}

TEST(Events, NameAndOtherHandles) {
  SetLastError(kSentinel);
  HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, "");
  EXPECT_NE(nullptr, unnamed);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
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
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEvent(other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(ResetEvent(other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  CloseHandle(unnamed);
}

// TryEnter from another thread, answered while it runs.
bool OtherThreadEnters(CRITICAL_SECTION& section) {
  bool entered = false;
  std::thread other([&] {
    entered = TryEnterCriticalSection(&section) != FALSE;
    if (entered) LeaveCriticalSection(&section);
  });
  other.join();
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

TEST(CriticalSections, OneThreadAtATime) {
  constexpr int kThreads = 4, kRounds = 20000;
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;  // plain: only the section protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&section);
        const long seen = counter;
        counter = seen + 1;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(static_cast<long>(kThreads) * kRounds, counter);
  DeleteCriticalSection(&section);
}

}  // namespace
}  // namespace kvtr::test
