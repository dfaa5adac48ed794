// Memory checks on unmapped, inaccessible, read-only and writable memory,
// and from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/memory_pages.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

using Access = MemoryPages::Access;

void SomeFunction() {}

TEST(MemoryChecks, ReadChecksTellReadableFromUnreadable) {
  MemoryPages none(Access::kNone);
  MemoryPages readOnly(Access::kReadOnly);
  int local = 5;
  EXPECT_FALSE(IsBadReadPtr(&local, sizeof local));
  EXPECT_FALSE(IsBadReadPtr(readOnly.first(), readOnly.page_size()));
  EXPECT_TRUE(IsBadReadPtr(none.first(), 1));
  EXPECT_TRUE(IsBadReadPtr(MemoryPages::Unmapped(), 4));
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  // A range that runs from readable memory into the inaccessible page.
  EXPECT_FALSE(IsBadReadPtr(readOnly.tail(8), 8));
  EXPECT_TRUE(IsBadReadPtr(readOnly.tail(8), 9));
  // Nothing is asked of an empty range, not even a null one.
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
  EXPECT_FALSE(IsBadReadPtr(none.first(), 0));
}

TEST(MemoryChecks, WriteChecksTellWritableFromReadOnly) {
  MemoryPages writable(Access::kReadWrite);
  MemoryPages readOnly(Access::kReadOnly);
  MemoryPages none(Access::kNone);
  std::vector<char> heap(64);
  EXPECT_FALSE(IsBadWritePtr(heap.data(), heap.size()));
  EXPECT_FALSE(IsBadWritePtr(writable.first(), writable.page_size()));
  EXPECT_TRUE(IsBadWritePtr(readOnly.first(), 4));
  EXPECT_TRUE(IsBadWritePtr(none.first(), 4));
  EXPECT_TRUE(IsBadWritePtr(MemoryPages::Unmapped(), 4));
  EXPECT_TRUE(IsBadWritePtr(reinterpret_cast<void*>(&SomeFunction), 4));
  EXPECT_TRUE(IsBadWritePtr(writable.tail(2), 4));
  EXPECT_TRUE(IsBadWritePtr(nullptr, 1));
  EXPECT_FALSE(IsBadWritePtr(nullptr, 0));
}

TEST(MemoryChecks, StringChecksStopAtTheTerminatorOrTheLimit) {
  const char narrow[] = "short";
  const WCHAR wide[] = W("short");
  MemoryPages narrowEdge(Access::kReadOnly, narrow, sizeof narrow);
  MemoryPages wideEdge(Access::kReadOnly, wide, sizeof wide);
  // A string that ends right before an unreadable page passes.
  EXPECT_FALSE(IsBadStringPtrA(narrowEdge.tail(sizeof narrow), 1024));
  EXPECT_FALSE(IsBadStringPtrW(reinterpret_cast<const WCHAR*>(wideEdge.tail(sizeof wide)), 1024));

  // Without a terminator the walk runs into the page and fails...
  MemoryPages unterminated(Access::kReadOnly);
  EXPECT_TRUE(IsBadStringPtrA(unterminated.tail(16), 1024));
  EXPECT_TRUE(IsBadStringPtrW(reinterpret_cast<const WCHAR*>(unterminated.tail(16)), 1024));
  // ...unless the limit ends it first.
  EXPECT_FALSE(IsBadStringPtrA(unterminated.tail(16), 16));
  EXPECT_FALSE(IsBadStringPtrW(reinterpret_cast<const WCHAR*>(unterminated.tail(16)), 8));

  MemoryPages none(Access::kNone);
  EXPECT_TRUE(IsBadStringPtrA(none.first(), 4));
  EXPECT_TRUE(IsBadStringPtrA(nullptr, 4));
  EXPECT_TRUE(IsBadStringPtrW(nullptr, 4));
}

TEST(MemoryChecks, ChecksNeverChangeWhatTheyJudge) {
  MemoryPages writable(Access::kReadWrite);
  std::memset(writable.first(), 0x5A, writable.page_size());
  EXPECT_FALSE(IsBadWritePtr(writable.first(), writable.page_size()));
  EXPECT_FALSE(IsBadReadPtr(writable.first(), writable.page_size()));
  for (size_t i = 0; i < writable.page_size(); ++i) ASSERT_EQ(0x5A, static_cast<unsigned char>(writable.first()[i]));
}

TEST(MemoryChecks, ConcurrentChecksOnBadMemoryNeitherCrashNorMix) {
  MemoryPages none(Access::kNone);
  MemoryPages readOnly(Access::kReadOnly);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!IsBadReadPtr(none.first(), 1)) ++wrong;
        if (IsBadReadPtr(readOnly.first(), 16)) ++wrong;
        if (!IsBadStringPtrA(none.first(), 8)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
}  // namespace kvtr::test
