// The Thread base: starting and stopping, the hung-worker report, names in
// the registry, priorities, and the scope guard of the entry point.
#include "common_utils/threads/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "logger/logger_test.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::logger {
namespace {

using test::LogEntry;
using test::Registered;
using test::RegisterText;
using test::UnregisterText;
using Entries = std::vector<LogEntry>;

// Its first `hungRuns` runs ignore the stop event and wait for `release`;
// later runs return once the stop event is set.
class Worker : public Thread {
 public:
  explicit Worker(const char* name) : Thread(name) {}
  ~Worker() override { Stop(); }

  std::atomic<int> hungRuns{0}, runs{0}, finished{0}, seenPriority{-99};
  SyncEvent started{/*manualReset=*/false, /*initiallySet=*/false};
  SyncEvent release{/*manualReset=*/true, /*initiallySet=*/false};

 protected:
  void Run() override {
    seenPriority = GetThreadPriority(GetCurrentThread());
    const bool hung = ++runs <= hungRuns;
    started.Set();
    (hung ? release : stopEvent()).Wait(-1);
    ++finished;
  }
};

class Throwing : public Thread {
 public:
  using Thread::Thread;

 protected:
  void Run() override { throw std::runtime_error("from Run"); }
};

class LoggerThread : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(&registry_, ThreadNameRegistry::Instance()); }

  ThreadNameRegistry registry_;
  test::LogCapture log_;
};

TEST_F(LoggerThread, StartsOnceAndStopsSilentlyWhenIdle) {
  Worker worker("kvtr-worker");
  worker.Stop();
  worker.Stop(10);
  EXPECT_TRUE(log_.Entries().empty());

  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  const HANDLE handle = worker.handle();
  const DWORD id = worker.threadId();
  EXPECT_NE(nullptr, handle);
  EXPECT_FALSE(worker.Start());
  EXPECT_EQ(handle, worker.handle());
  EXPECT_EQ((Registered{{id, "kvtr-worker"}}), test::Walk(registry_));
  // SignalStop ends the worker's run but not the object's start.
  EXPECT_TRUE(worker.SignalStop());
  ASSERT_TRUE(log_.WaitFor(UnregisterText(id, "kvtr-worker")));
  EXPECT_FALSE(worker.Start());

  worker.Stop();
  EXPECT_EQ(nullptr, worker.handle());
  EXPECT_EQ(1, worker.finished);
  EXPECT_TRUE(test::Walk(registry_).empty());
  worker.Stop();
  EXPECT_EQ((Entries{{3, RegisterText(id, "kvtr-worker")}, {3, UnregisterText(id, "kvtr-worker")}}), log_.Entries());
}

TEST_F(LoggerThread, HungWorkerIsReportedAndAbandonedAndTheObjectStartsAgain) {
  Worker worker("hung");
  worker.hungRuns = 1;
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  const DWORD hungId = worker.threadId();
  const auto handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(worker.handle()));
  log_.Clear();

  const auto start = std::chrono::steady_clock::now();
  worker.Stop(50);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ((Entries{{1, "Thread::Stop() - hung thread Id=0x" + test::Hex(hungId) + ", Handle=0x" +
                             test::Hex(handle, false) + ", timeout=50 ms"}}),
            log_.Entries());
  EXPECT_EQ(nullptr, worker.handle());
  EXPECT_EQ(0, worker.finished);

  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  EXPECT_NE(hungId, worker.threadId());
  // The abandoned worker ends before the test does.
  ASSERT_TRUE(worker.release.Set());
  ASSERT_TRUE(log_.WaitFor(UnregisterText(hungId, "hung")));
  worker.Stop();
  EXPECT_EQ(2, worker.finished);
}

TEST_F(LoggerThread, WorkerWithoutANameIsUnnamed) {
  Worker worker(nullptr);
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  const DWORD id = worker.threadId();
  EXPECT_EQ((Registered{{id, "Unnamed"}}), test::Walk(registry_));
  worker.Stop();
  EXPECT_EQ((Entries{{3, RegisterText(id, "Unnamed")}, {3, UnregisterText(id, "Unnamed")}}), log_.Entries());
}

TEST_F(LoggerThread, PriorityIsClampedToTheSystemsStepsBeforeAndAfterStart) {
  const struct {
    int32_t requested;
    int applied;
  } kCases[] = {{-100, -15}, {-3, -15}, {-2, -2}, {-1, -1}, {0, 0}, {1, 1}, {2, 2}, {3, 15}, {100, 15}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.requested);
    Worker worker("priority");
    worker.SetPriority(c.requested);
    ASSERT_TRUE(worker.Start());
    ASSERT_EQ(1, worker.started.Wait(10000));
    EXPECT_EQ(c.applied, worker.seenPriority);  // in effect before Run began
    const int other = c.applied == 1 ? 0 : 1;
    worker.SetPriority(other);
    EXPECT_EQ(other, GetThreadPriority(worker.handle()));
    worker.SetPriority(c.requested);
    EXPECT_EQ(c.applied, GetThreadPriority(worker.handle()));
  }
}

TEST_F(LoggerThread, ExceptionFromRunStillUnregistersTheWorker) {
  Throwing thread("throws");
  EXPECT_THROW(Thread::ThreadProc(&thread), std::runtime_error);
  const DWORD self = GetCurrentThreadId();
  EXPECT_EQ((Entries{{3, RegisterText(self, "throws")}, {3, UnregisterText(self, "throws")}}), log_.Entries());
  EXPECT_TRUE(test::Walk(registry_).empty());
  EXPECT_EQ(0u, Thread::ThreadProc(nullptr));
  EXPECT_EQ(2u, log_.Entries().size());
}

#ifndef _WIN32
// POSIX only: thread creation fails through the emulation control.
TEST_F(LoggerThread, FailedCreationIsReportedAndLeavesTheObjectIdle) {
  KvtrEmu_FailCall("_beginthreadex", 1, ERROR_NOT_ENOUGH_MEMORY);
  Worker worker("unborn");
  EXPECT_FALSE(worker.Start());
  EXPECT_EQ((Entries{{1, "Thread::Start() - begin thread call failed, errno=" + std::to_string(EAGAIN)}}),
            log_.Entries());
  EXPECT_EQ(nullptr, worker.handle());
  ASSERT_TRUE(worker.Start());
  worker.Stop();
  EXPECT_EQ(1, worker.runs);
  KvtrEmu_Reset();
}
#endif

}  // namespace
}  // namespace kvtr::logger
