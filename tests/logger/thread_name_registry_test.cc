// The thread-name registry: entries by id, the walk that holds the lock,
// and the free functions with and without the process's registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common_utils/logger/thread_name_registry.h"
#include "logger/log_capture.h"

namespace kvtr::logger {
namespace {

using Entries = std::vector<std::pair<DWORD, std::string>>;

Entries Walk(ThreadNameRegistry& registry) {
  Entries entries;
  ThreadNameRegistry::Cursor cursor;
  DWORD id = 0;
  std::string name;
  for (bool more = registry.First(cursor, id, name); more; more = registry.Next(cursor, id, name)) {
    entries.emplace_back(id, name);
  }
  return entries;
}

TEST(ThreadNameRegistry, KeepsOneNamePerIdInIdOrder) {
  ThreadNameRegistry registry;
  EXPECT_TRUE(Walk(registry).empty());
  registry.Register(9, "nine");
  registry.Register(2, "two");
  registry.Register(9, "renamed");
  registry.Register(5, nullptr);
  EXPECT_EQ((Entries{{2, "two"}, {5, ""}, {9, "renamed"}}), Walk(registry));
  std::string name = "untouched";
  EXPECT_FALSE(registry.Unregister(7, name));
  EXPECT_EQ("untouched", name);
  EXPECT_TRUE(registry.Unregister(9, name));
  EXPECT_EQ("renamed", name);
  EXPECT_FALSE(registry.Unregister(9, name));
  EXPECT_EQ((Entries{{2, "two"}, {5, ""}}), Walk(registry));
}

TEST(ThreadNameRegistry, WalkHoldsTheLockUntilItEnds) {
  ThreadNameRegistry registry;
  registry.Register(1, "one");
  registry.Register(3, "three");
  ThreadNameRegistry::Cursor cursor;
  DWORD id = 0;
  std::string name;
  ASSERT_TRUE(registry.First(cursor, id, name));
  EXPECT_EQ(1u, id);
  std::atomic<bool> registered{false};
  std::thread other([&] {
    registry.Register(2, "two");
    registered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_FALSE(registered);
  registry.Register(4, "four");  // the walking thread itself may
  ASSERT_TRUE(registry.Next(cursor, id, name));
  EXPECT_EQ(3u, id);
  ASSERT_TRUE(registry.Next(cursor, id, name));
  EXPECT_EQ(4u, id);
  EXPECT_EQ("four", name);
  EXPECT_FALSE(registry.Next(cursor, id, name));
  EXPECT_EQ(4u, id);
  other.join();
  EXPECT_TRUE(registered);
  EXPECT_EQ((Entries{{1, "one"}, {2, "two"}, {3, "three"}, {4, "four"}}), Walk(registry));
}

TEST(ThreadNameRegistry, FreeFunctionsUseTheFirstLiveRegistryAndLogOnlyRealChanges) {
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
    EXPECT_EQ((Entries{{self, "main"}}), Walk(first));
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
