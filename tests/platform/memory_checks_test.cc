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

// Constant data: read-only, and not code.
const unsigned char kConstantBytes[32] = {0xC3, 0xC3, 0xC3, 0xC3};

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

TEST(MemoryChecks, VirtualQueryDescribesEachKindOfMemory) {
  MemoryPages readOnly(Access::kReadOnly);
  std::vector<char> heap(64);
  struct Case {
    const char* what;
    const void* address;
    DWORD state;
    DWORD protect;
  };
  const Case cases[] = {
      {"code", reinterpret_cast<const void*>(&SomeFunction), MEM_COMMIT, PAGE_EXECUTE_READ},
      {"constant data", kConstantBytes, MEM_COMMIT, PAGE_READONLY},
      {"heap", heap.data(), MEM_COMMIT, PAGE_READWRITE},
      {"read-only page", readOnly.first() + 100, MEM_COMMIT, PAGE_READONLY},
      {"inaccessible page", readOnly.guard(), MEM_COMMIT, PAGE_NOACCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MEMORY_BASIC_INFORMATION info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(sizeof info, VirtualQuery(c.address, &info, sizeof info));
    const auto page = reinterpret_cast<uintptr_t>(c.address) & ~static_cast<uintptr_t>(readOnly.page_size() - 1);
    EXPECT_EQ(page, reinterpret_cast<uintptr_t>(info.BaseAddress));
    EXPECT_EQ(c.state, info.State);
    EXPECT_EQ(c.protect, info.Protect);
    EXPECT_GE(info.RegionSize, readOnly.page_size());
  }
  // Free address space (queried before anything can be allocated there).
  MEMORY_BASIC_INFORMATION info;
  const void* unmapped = MemoryPages::Unmapped();
  ASSERT_EQ(sizeof info, VirtualQuery(unmapped, &info, sizeof info));
  EXPECT_EQ(static_cast<DWORD>(MEM_FREE), info.State);
  EXPECT_EQ(unmapped, info.BaseAddress);
  // The read-only page is a region of its own inside its allocation.
  ASSERT_EQ(sizeof info, VirtualQuery(readOnly.first(), &info, sizeof info));
  EXPECT_EQ(readOnly.first(), info.AllocationBase);
  EXPECT_EQ(readOnly.page_size(), info.RegionSize);
  EXPECT_EQ(static_cast<DWORD>(MEM_PRIVATE), info.Type);
  ASSERT_EQ(sizeof info, VirtualQuery(reinterpret_cast<const void*>(&SomeFunction), &info, sizeof info));
  EXPECT_EQ(static_cast<DWORD>(MEM_IMAGE), info.Type);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, VirtualQuery(heap.data(), &info, sizeof info - 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());
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
