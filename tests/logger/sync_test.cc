// SyncEvent's three wait outcomes, and CriticalSection's recursion, owner
// bookkeeping and harmless misuse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common_utils/threads/critical_section.h"
#include "common_utils/threads/sync_event.h"

namespace kvtr::logger {
namespace {

TEST(SyncEvent, WaitAnswersSignalledTimedOutOrFailed) {
  const struct {
    const char* what;
    bool manual, set;
    int64_t timeout;
    int first, second;
  } kCases[] = {
      {"manual, set, no limit", true, true, -1, 1, 1},
      {"auto, set: the first wait takes it", false, true, 0, 1, 0},
      {"not set, no time", true, false, 0, 0, 0},
      {"not set, 30 ms", true, false, 30, 0, 0},
      {"not set, 2^32 ms waits its low 32 bits", true, false, int64_t{1} << 32, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    SyncEvent event(c.manual, c.set);
    EXPECT_EQ(c.first, event.Wait(c.timeout));
    EXPECT_EQ(c.second, event.Wait(c.timeout == -1 ? 0 : c.timeout));
  }
  SyncEvent event(true, false);
  EXPECT_TRUE(event.Set());
  EXPECT_EQ(1, event.Wait(0));
  EXPECT_TRUE(event.Reset());
  EXPECT_EQ(0, event.Wait(0));
  event.Close();
  EXPECT_EQ(nullptr, event.handle());
  EXPECT_EQ(-1, event.Wait(0));
  EXPECT_FALSE(event.Set());
  event.Close();
}

TEST(CriticalSection, OwnerLocksAgainAndOnlyItsUnlocksCount) {
  CriticalSection lock;
  lock.Unlock();  // at depth 0: nothing, and the lock still works below
  lock.Lock();
  {
    CriticalSectionLock again(lock);
    EXPECT_EQ(2, lock.depth());
    EXPECT_EQ(GetCurrentThreadId(), lock.owner());
  }
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    CriticalSectionLock hold(lock);
    entered = true;
  });
  std::thread([&] { lock.Unlock(); }).join();  // not the owner: nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  EXPECT_EQ(1, lock.depth());
  lock.Unlock();
  waiter.join();
  EXPECT_TRUE(entered);
  EXPECT_EQ(0, lock.depth());
  EXPECT_EQ(0u, lock.owner());

  lock.Destroy();
  lock.Destroy();
  lock.Lock();
  { CriticalSectionLock hold(lock); }
  EXPECT_EQ(0, lock.depth());
  EXPECT_EQ(0u, lock.owner());
}

}  // namespace
}  // namespace kvtr::logger
