// The Thread base: starting and stopping, the hung-worker report, names in
// the registry, priorities, and the scope guard of the entry point.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "common_utils/logger/thread.h"
#include "common_utils/logger/thread_name_registry.h"
#include "logger/log_capture.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::logger {
namespace {

using test::LogEntry;
using test::RegisterText;
using test::UnregisterText;

// Its first `hungRuns` runs ignore the stop event and wait for `release`;
// later runs return once the stop event is set.
class Worker : public Thread {
 public:
  explicit Worker(const char* name) : Thread(name) {}
  ~Worker() override { Stop(); }

  std::atomic<int> hungRuns{0};
  std::atomic<int> runs{0};
  std::atomic<int> finished{0};
  std::atomic<DWORD> seenId{0};
  std::atomic<int> seenPriority{-99};
  SyncEvent started{/*manualReset=*/false, /*initiallySet=*/false};
  SyncEvent release{/*manualReset=*/true, /*initiallySet=*/false};

 protected:
  void Run() override {
    seenId = GetCurrentThreadId();
    seenPriority = GetThreadPriority(GetCurrentThread());
    const int run = ++runs;
    started.Set();
    if (run <= hungRuns) {
      release.Wait(-1);
    } else {
      stopEvent().Wait(-1);
    }
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

  // The registry's entries, walked to the end.
  std::vector<std::pair<DWORD, std::string>> Registered() {
    std::vector<std::pair<DWORD, std::string>> entries;
    ThreadNameRegistry::Cursor cursor;
    DWORD id = 0;
    std::string name;
    for (bool more = registry_.First(cursor, id, name); more; more = registry_.Next(cursor, id, name)) {
      entries.emplace_back(id, name);
    }
    return entries;
  }

  ThreadNameRegistry registry_;
  test::LogCapture log_;
};

TEST_F(LoggerThread, StartsOnceStopsAndIsSilentWhenIdle) {
  Worker worker("kvtr-worker");
  worker.Stop();
  worker.Stop(10);
  EXPECT_TRUE(log_.Entries().empty());

  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  const HANDLE handle = worker.handle();
  const DWORD id = worker.threadId();
  EXPECT_NE(nullptr, handle);
  EXPECT_EQ(id, worker.seenId);
  EXPECT_FALSE(worker.Start());
  EXPECT_EQ(handle, worker.handle());
  EXPECT_EQ((std::vector<std::pair<DWORD, std::string>>{{id, "kvtr-worker"}}), Registered());

  worker.Stop();
  EXPECT_EQ(nullptr, worker.handle());
  EXPECT_EQ(1, worker.runs);
  EXPECT_EQ(1, worker.finished);
  EXPECT_TRUE(Registered().empty());
  worker.Stop();
  const std::vector<LogEntry> expected = {{3, RegisterText(id, "kvtr-worker")}, {3, UnregisterText(id, "kvtr-worker")}};
  EXPECT_EQ(expected, log_.Entries());
}

TEST_F(LoggerThread, SignalStopAsksWithoutWaitingOrEndingTheStart) {
  Worker worker("signalled");
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  EXPECT_TRUE(worker.SignalStop());
  ASSERT_TRUE(log_.WaitFor(UnregisterText(worker.threadId(), "signalled")));
  EXPECT_EQ(1, worker.finished);
  EXPECT_FALSE(worker.Start());  // the worker's return does not make the object idle
  worker.Stop();
  EXPECT_EQ(nullptr, worker.handle());
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
  const std::vector<LogEntry> expected = {
      {1, "Thread::Stop() - hung thread Id=0x" + test::Hex(hungId) + ", Handle=0x" + test::Hex(handle, false) +
              ", timeout=50 ms"}};
  EXPECT_EQ(expected, log_.Entries());
  EXPECT_EQ(nullptr, worker.handle());
  EXPECT_EQ(0, worker.finished);

  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  EXPECT_NE(hungId, worker.threadId());
  // Let the abandoned worker end before the test does.
  ASSERT_TRUE(worker.release.Set());
  ASSERT_TRUE(log_.WaitFor(UnregisterText(hungId, "hung")));
  worker.Stop();
  EXPECT_EQ(2, worker.finished);
}

TEST_F(LoggerThread, WorkerWithoutANameIsUnnamed) {
  Worker worker(nullptr);
  EXPECT_EQ(nullptr, worker.name());
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(1, worker.started.Wait(10000));
  const DWORD id = worker.threadId();
  EXPECT_EQ((std::vector<std::pair<DWORD, std::string>>{{id, "Unnamed"}}), Registered());
  worker.Stop();
  const std::vector<LogEntry> expected = {{3, RegisterText(id, "Unnamed")}, {3, UnregisterText(id, "Unnamed")}};
  EXPECT_EQ(expected, log_.Entries());
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
    EXPECT_EQ(c.requested, worker.priority());
    ASSERT_TRUE(worker.Start());
    ASSERT_EQ(1, worker.started.Wait(10000));
    EXPECT_EQ(c.applied, worker.seenPriority);  // in effect before Run began
    worker.SetPriority(c.applied == 1 ? 0 : 1);
    EXPECT_EQ(c.applied == 1 ? 0 : 1, GetThreadPriority(worker.handle()));
    worker.SetPriority(c.requested);
    EXPECT_EQ(c.applied, GetThreadPriority(worker.handle()));
    worker.Stop();
  }
}

TEST_F(LoggerThread, ExceptionFromRunStillUnregistersTheWorker) {
  Throwing thread("throws");
  EXPECT_THROW(Thread::ThreadProc(&thread), std::runtime_error);
  const DWORD self = GetCurrentThreadId();
  const std::vector<LogEntry> expected = {{3, RegisterText(self, "throws")}, {3, UnregisterText(self, "throws")}};
  EXPECT_EQ(expected, log_.Entries());
  EXPECT_TRUE(Registered().empty());
  EXPECT_EQ(0u, Thread::ThreadProc(nullptr));
  EXPECT_EQ(2u, log_.Entries().size());
}

#ifndef _WIN32
// POSIX only: thread creation fails through the emulation control.
TEST_F(LoggerThread, FailedCreationIsReportedAndLeavesTheObjectIdle) {
  KvtrEmu_Reset();
  KvtrEmu_FailCall("_beginthreadex", 1, ERROR_NOT_ENOUGH_MEMORY);
  Worker worker("unborn");
  EXPECT_FALSE(worker.Start());
  const std::vector<LogEntry> expected = {
      {1, "Thread::Start() - begin thread call failed, errno=" + std::to_string(EAGAIN)}};
  EXPECT_EQ(expected, log_.Entries());
  EXPECT_EQ(nullptr, worker.handle());
  EXPECT_EQ(0, worker.runs);
  ASSERT_TRUE(worker.Start());
  worker.Stop();
  EXPECT_EQ(1, worker.finished);
  KvtrEmu_Reset();
}
#endif

}  // namespace
}  // namespace kvtr::logger
