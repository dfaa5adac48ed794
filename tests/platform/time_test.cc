// The tick count (monotonic, in milliseconds, wrapping at 32 bits) and the
// local time against the C library's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "support/test_machine.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

using Milliseconds = std::chrono::milliseconds;

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - since).count();
}

TEST(Time, TickCountNeverGoesBackAndFollowsElapsedTime) {
  DWORD previous = GetTickCount();
  for (int i = 0; i < 100000; ++i) {
    const DWORD now = GetTickCount();
    // A step back would show as a difference near 2^32.
    ASSERT_LT(static_cast<DWORD>(now - previous), 1000u);
    previous = now;
  }
  const auto start = std::chrono::steady_clock::now();
  const DWORD before = GetTickCount();
  std::this_thread::sleep_for(Milliseconds(200));
  const DWORD ticks = GetTickCount() - before;
  const long long elapsed = ElapsedMs(start);
  // Windows counts in steps of up to 16 ms.
  EXPECT_GE(static_cast<long long>(ticks), elapsed - 20);
  EXPECT_LE(static_cast<long long>(ticks), elapsed + 20);
}

#ifndef _WIN32
// POSIX only: reaching the wrap takes the emulation control's offset (a
// real machine would have to run for 49.7 days).
TEST(Time, TickCountWrapsAt32Bits) {
  KvtrEmu_Reset();
  const DWORD real = GetTickCount();
  KvtrEmu_SetTickCountOffset(0u - real - 40u);
  const DWORD before = GetTickCount();
  EXPECT_GE(before, 0xFFFFFFD0u);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(Milliseconds(100));
  const DWORD after = GetTickCount();
  const long long elapsed = ElapsedMs(start);
  EXPECT_LT(after, 1000u);
  EXPECT_GE(static_cast<long long>(static_cast<DWORD>(after - before)), elapsed - 5);
  EXPECT_LE(static_cast<long long>(static_cast<DWORD>(after - before)), elapsed + 5);
  KvtrEmu_Reset();
  EXPECT_LT(GetTickCount() - real, 10000u);
}
#endif

// The local time lies between two readings of the C library's clock, in
// the C library's time zone, with its day of the week.
TEST(Time, LocalTimeIsTheCLibrarysLocalTime) {
  for (int round = 0; round < 3; ++round) {
    const std::time_t before = std::time(nullptr);
    SYSTEMTIME now;
    std::memset(&now, 0xAB, sizeof now);
    GetLocalTime(&now);
    const std::time_t after = std::time(nullptr);
    std::tm fields{};
    fields.tm_year = now.wYear - 1900;
    fields.tm_mon = now.wMonth - 1;
    fields.tm_mday = now.wDay;
    fields.tm_hour = now.wHour;
    fields.tm_min = now.wMinute;
    fields.tm_sec = now.wSecond;
    fields.tm_isdst = -1;
    const std::time_t local = std::mktime(&fields);
    EXPECT_LE(before, local);
    EXPECT_GE(after, local);
    EXPECT_EQ(fields.tm_wday, now.wDayOfWeek);
    EXPECT_LT(now.wMilliseconds, 1000);
    std::this_thread::sleep_for(Milliseconds(300));
  }
}

}  // namespace
}  // namespace kvtr::test
