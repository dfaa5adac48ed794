// Threads: the suspended start, waits on a thread, ids, priorities, exit
// codes, and calls on handles that are not threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kTimeout = static_cast<DWORD>(WAIT_TIMEOUT);
constexpr unsigned kExitCode = 0xC0DE;

// What a thread's body saw of itself. It then waits for `release` and sets
// `done` (each when given) and returns kExitCode.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<DWORD> id{0};
  std::atomic<int> priority{-99};
  HANDLE release = nullptr;
  HANDLE done = nullptr;
};

unsigned __stdcall ProbeBody(void* argument) {
  auto* probe = static_cast<Probe*>(argument);
  probe->id = GetCurrentThreadId();
  probe->priority = GetThreadPriority(GetCurrentThread());
  ++probe->runs;
  if (probe->release != nullptr) WaitForSingleObject(probe->release, INFINITE);
  if (probe->done != nullptr) SetEvent(probe->done);
  return kExitCode;
}

HANDLE Begin(Probe& probe, unsigned flags, unsigned* id = nullptr) {
  return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeBody, &probe, flags, id));
}

TEST(Threads, SuspendedThreadRunsOnlyOnceResumedAndIsSignalledWhenItEnds) {
  Probe probe;
  HANDLE thread = Begin(probe, CREATE_SUSPENDED);
  ASSERT_NE(nullptr, thread);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kTimeout, WaitForSingleObject(thread, 0));
  EXPECT_EQ(kTimeout, WaitForSingleObject(thread, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(0, probe.runs);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(0u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
  EXPECT_EQ(1, probe.runs);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(kExitCode, code);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, IdsAreNonZeroStableAndDistinct) {
  constexpr int kThreads = 4;
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<Probe> probes(kThreads);
  std::vector<unsigned> given(kThreads, 0);
  std::vector<HANDLE> threads;
  for (int i = 0; i < kThreads; ++i) {
    probes[i].release = release;
    threads.push_back(Begin(probes[i], 0, &given[i]));
  }
  std::set<DWORD> ids{GetCurrentThreadId()};
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  for (int i = 0; i < kThreads; ++i) {
    while (probes[i].runs == 0) std::this_thread::yield();
    EXPECT_NE(0u, given[i]);
    EXPECT_EQ(given[i], probes[i].id.load());
    ids.insert(probes[i].id);
  }
  EXPECT_EQ(static_cast<size_t>(kThreads + 1), ids.size());
  SetEvent(release);
  for (HANDLE thread : threads) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
  }
  CloseHandle(release);
}

TEST(Threads, PrioritiesAreTheSevenStepsAndHoldBeforeTheBodyRuns) {
  Probe probe;
  HANDLE thread = Begin(probe, CREATE_SUSPENDED);
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(thread));
  for (int priority : {-15, -2, -1, 0, 1, 2, 15}) {
    SCOPED_TRACE(priority);
    SetLastError(kSentinel);
    EXPECT_TRUE(SetThreadPriority(thread, priority));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(priority, GetThreadPriority(thread));
  }
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
  for (int priority : {-16, -3, 3, 6, 16, 0x10000}) {
    SCOPED_TRACE(priority);
    EXPECT_FALSE(SetThreadPriority(thread, priority));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(thread));
  }
  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_EQ(THREAD_PRIORITY_HIGHEST, probe.priority);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
  Probe probe;
  probe.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  probe.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = Begin(probe, 0);
  ASSERT_TRUE(CloseHandle(thread));
  ASSERT_TRUE(SetEvent(probe.release));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(probe.done, 10000));
  EXPECT_EQ(1, probe.runs);
  CloseHandle(probe.release);
  CloseHandle(probe.done);
}

TEST(Threads, CallsOnHandlesOfNoThreadFail) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Probe probe;
  HANDLE closed = Begin(probe, 0);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed, INFINITE));
  ASSERT_TRUE(CloseHandle(closed));
  // Each call gives its failure value and ERROR_INVALID_HANDLE.
  constexpr DWORD kInvalidHandle = ERROR_INVALID_HANDLE;
  const auto lastError = [](bool failed) { return failed ? GetLastError() : 0u; };
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), event, GetCurrentProcess(), closed}) {
    SCOPED_TRACE(handle);
    DWORD code = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(kInvalidHandle, lastError(ResumeThread(handle) == static_cast<DWORD>(-1)));
    SetLastError(kSentinel);
    EXPECT_EQ(kInvalidHandle, lastError(!SetThreadPriority(handle, THREAD_PRIORITY_NORMAL)));
    SetLastError(kSentinel);
    EXPECT_EQ(kInvalidHandle, lastError(GetThreadPriority(handle) == THREAD_PRIORITY_ERROR_RETURN));
    SetLastError(kSentinel);
    EXPECT_EQ(kInvalidHandle, lastError(!GetExitCodeThread(handle, &code)));
    EXPECT_EQ(kSentinel, code);
  }
  CloseHandle(event);
  // No body: the C runtime's answer is errno alone.
  errno = 0;
  SetLastError(kSentinel);
  unsigned id = kSentinel;
  EXPECT_EQ(0u, _beginthreadex(nullptr, 0, nullptr, nullptr, 0, &id));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(kSentinel, GetLastError());
  EXPECT_EQ(kSentinel, id);
}

}  // namespace
}  // namespace kvtr::test
