// The thread-name registry: entries by id, the walk that holds the lock,
// and the free functions with and without the process's registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "logger/logger_test.h"

namespace kvtr::logger {
namespace {

using test::Registered;
using test::Walk;

TEST(ThreadNameRegistry, WalkInIdOrderHoldsTheLockUntilItEnds) {
  ThreadNameRegistry registry;
  registry.Register(3, "three");
  registry.Register(1, "first");
  registry.Register(1, "one");  // replaces
  std::string name = "untouched";
  EXPECT_FALSE(registry.Unregister(7, name));
  EXPECT_EQ("untouched", name);

  ThreadNameRegistry::Cursor cursor;
  DWORD id = 0;
  ASSERT_TRUE(registry.First(cursor, id, name));
  EXPECT_EQ((std::pair<DWORD, std::string>{1, "one"}), std::make_pair(id, name));
  std::atomic<bool> registered{false};
  std::thread other([&] {
    registry.Register(2, "two");
    registered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_FALSE(registered);
  registry.Register(4, nullptr);  // the walking thread itself may
  ASSERT_TRUE(registry.Next(cursor, id, name));
  EXPECT_EQ(3u, id);
  ASSERT_TRUE(registry.Next(cursor, id, name));
  EXPECT_EQ((std::pair<DWORD, std::string>{4, ""}), std::make_pair(id, name));
  EXPECT_FALSE(registry.Next(cursor, id, name));
  other.join();
  EXPECT_TRUE(registered);
  EXPECT_TRUE(registry.Unregister(3, name));
  EXPECT_EQ("three", name);
  EXPECT_EQ((Registered{{1, "one"}, {2, "two"}, {4, ""}}), Walk(registry));
}

TEST(ThreadNameRegistry, FreeFunctionsUseTheFirstLiveRegistryAndLogOnlyChanges) {
  test::LogCapture log;
  ASSERT_EQ(nullptr, ThreadNameRegistry::Instance());
  RegisterThreadName("nowhere");
  UnregisterThreadName();
  EXPECT_TRUE(log.Entries().empty());

  const DWORD self = GetCurrentThreadId();
  {
    ThreadNameRegistry first;
    ThreadNameRegistry second;
    EXPECT_EQ(&first, ThreadNameRegistry::Instance());
    UnregisterThreadName();  // never registered: nothing to log
    EXPECT_TRUE(log.Entries().empty());
    RegisterThreadName("main");
    EXPECT_EQ((Registered{{self, "main"}}), Walk(first));
    EXPECT_TRUE(Walk(second).empty());
    UnregisterThreadName();
    UnregisterThreadName();
    const std::vector<test::LogEntry> expected = {{3, test::RegisterText(self, "main")},
                                                  {3, test::UnregisterText(self, "main")}};
    EXPECT_EQ(expected, log.Entries());
  }
  EXPECT_EQ(nullptr, ThreadNameRegistry::Instance());
}

}  // namespace
}  // namespace kvtr::logger
