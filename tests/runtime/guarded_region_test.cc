// Guarded regions: a processor fault ends the region, not the process, on
// Linux (the layer's fault guard) and on Windows (a vectored handler).
#include "common_utils/runtime/guarded_region.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/memory_pages.h"

namespace kvtr::runtime {
namespace {

int ReadUnmapped() { return *static_cast<volatile int*>(test::MemoryPages::Unmapped()); }

TEST(GuardedRegion, AFaultEndsTheRegionAndNothingElse) {
  int steps = 0;
  EXPECT_TRUE(Guarded([&] { ++steps; }));
  EXPECT_FALSE(Guarded([&] {
    ++steps;
    steps += ReadUnmapped();
    ++steps;  // never reached
  }));
  EXPECT_EQ(2, steps);
  // Inaccessible and read-only pages fault too; the region can run again.
  test::MemoryPages readOnly(test::MemoryPages::Access::kReadOnly);
  EXPECT_FALSE(Guarded([&] { *static_cast<volatile char*>(readOnly.first()) = 1; }));
  EXPECT_FALSE(Guarded([&] { steps += *static_cast<volatile char*>(readOnly.guard()); }));
  EXPECT_TRUE(Guarded([&] { ++steps; }));
  EXPECT_EQ(3, steps);
}

TEST(GuardedRegion, NestedRegionsEachCatchTheirOwnFault) {
  std::vector<int> trace;
  EXPECT_TRUE(Guarded([&] {
    trace.push_back(1);
    EXPECT_FALSE(Guarded([&] { trace.push_back(ReadUnmapped()); }));
    trace.push_back(2);
    EXPECT_TRUE(Guarded([&] { trace.push_back(3); }));
    trace.push_back(4);
  }));
  EXPECT_FALSE(Guarded([&] {
    EXPECT_TRUE(Guarded([&] { trace.push_back(5); }));
    trace.push_back(ReadUnmapped());  // the outer region's fault
  }));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), trace);
}

TEST(GuardedRegion, FaultsThatTheSystemsProbesCatchDoNotEndTheRegion) {
  // Windows' memory checks fault internally and handle it themselves; the
  // region must leave those faults to them.
  test::MemoryPages readOnly(test::MemoryPages::Access::kReadOnly);
  int checks = 0;
  EXPECT_TRUE(Guarded([&] {
    checks += IsBadWritePtr(readOnly.first(), 4) ? 1 : 0;
    checks += IsBadReadPtr(readOnly.guard(), 4) ? 1 : 0;
    checks += IsBadStringPtrA(static_cast<const char*>(test::MemoryPages::Unmapped()), 8) ? 1 : 0;
  }));
  EXPECT_EQ(3, checks);
}

TEST(GuardedRegion, ExceptionsPassThroughAndTheLastErrorIsKept) {
  EXPECT_THROW(Guarded([] { throw std::runtime_error("through"); }), std::runtime_error);
  EXPECT_THROW(Guarded([] { throw 42; }), int);
  SetLastError(1234);
  DWORD seen = 0;
  EXPECT_TRUE(Guarded([&] {
    seen = GetLastError();
    SetLastError(5678);
  }));
  EXPECT_EQ(1234u, seen);
  EXPECT_EQ(5678u, GetLastError());
}

TEST(GuardedRegion, ThreadsFaultIndependently) {
  // An inaccessible page kept for the whole test: a range that was unmapped
  // could be mapped again by another thread's allocation meanwhile.
  const test::MemoryPages inaccessible(test::MemoryPages::Access::kNone);
  volatile const int* const untouchable = reinterpret_cast<volatile const int*>(inaccessible.first());
  std::vector<std::thread> threads;
  std::vector<int> completed(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const bool fault = (i + t) % 2 == 0;
        const bool done = Guarded([&] {
          if (fault) static_cast<void>(*untouchable);
        });
        if (done != fault) ++completed[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ((std::vector<int>{200, 200, 200, 200}), completed);
}

}  // namespace
}  // namespace kvtr::runtime
