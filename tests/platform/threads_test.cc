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

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr unsigned kExitCode = 0xC0DE;

// What a thread's body saw of itself. It waits for `release` and then sets
// `done` (each when given) before it returns kExitCode.
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

TEST(Threads, SuspendedThreadRunsOnlyOnceResumed) {
  Probe probe;
  HANDLE thread = Begin(probe, CREATE_SUSPENDED);
  ASSERT_NE(nullptr, thread);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0, probe.runs);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(0u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_EQ(1, probe.runs);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(kExitCode, code);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));  // stays signalled
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, WaitsTimeOutUntilTheBodyReturns) {
  Probe probe;
  probe.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = Begin(probe, 0);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_TRUE(SetEvent(probe.release));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(probe.release));
}

TEST(Threads, IdsAreNonZeroStableAndDistinct) {
  constexpr int kThreads = 4;
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<Probe> probes(kThreads);
  std::vector<HANDLE> threads;
  std::vector<unsigned> given(kThreads, 0);
  for (int i = 0; i < kThreads; ++i) {
    probes[i].release = release;
    threads.push_back(Begin(probes[i], 0, &given[i]));
    ASSERT_NE(nullptr, threads.back());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (Probe& probe : probes) {
    while (probe.runs == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }
  std::set<DWORD> ids{GetCurrentThreadId()};
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  for (int i = 0; i < kThreads; ++i) {
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
  ASSERT_NE(nullptr, thread);
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
    SetLastError(kSentinel);
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
  ASSERT_NE(nullptr, thread);
  ASSERT_TRUE(CloseHandle(thread));
  ASSERT_TRUE(SetEvent(probe.release));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(probe.done, 10000));
  EXPECT_EQ(1, probe.runs);
  DWORD code = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(kSentinel, code);
  CloseHandle(probe.release);
  CloseHandle(probe.done);
}

TEST(Threads, CallsOnHandlesOfNoThreadFail) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Probe probe;
  HANDLE closed = Begin(probe, 0);
  ASSERT_NE(nullptr, closed);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed, INFINITE));
  ASSERT_TRUE(CloseHandle(closed));
  const struct {
    const char* what;
    HANDLE handle;
  } kCases[] = {{"null", nullptr}, {"event", event}, {"process", GetCurrentProcess()}, {"closed thread", closed}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(static_cast<DWORD>(-1), ResumeThread(c.handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_FALSE(SetThreadPriority(c.handle, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(kSentinel);
    EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(c.handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    DWORD code = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetExitCodeThread(c.handle, &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(kSentinel, code);
  }
  CloseHandle(event);
}

TEST(Threads, NoStartRoutineIsAnInvalidArgument) {
  errno = 0;
  SetLastError(kSentinel);
  unsigned id = kSentinel;
  EXPECT_EQ(0u, _beginthreadex(nullptr, 0, nullptr, nullptr, 0, &id));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(kSentinel, GetLastError());
  EXPECT_EQ(kSentinel, id);
}

#ifndef _WIN32
// Thread creation failing (POSIX only: fault injection is emulation control).
TEST(Threads, FailedCreationReportsErrnoAndRunsNothing) {
  KvtrEmu_Reset();
  KvtrEmu_FailCall("_beginthreadex", 1, ERROR_NOT_ENOUGH_MEMORY);
  Probe probe;
  errno = 0;
  EXPECT_EQ(nullptr, Begin(probe, 0));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  HANDLE next = Begin(probe, 0);
  ASSERT_NE(nullptr, next);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(next, INFINITE));
  EXPECT_EQ(1, probe.runs);
  EXPECT_EQ(2u, KvtrEmu_CallCount("threads"));
  CloseHandle(next);
  KvtrEmu_Reset();
}
#endif

}  // namespace
}  // namespace kvtr::test
