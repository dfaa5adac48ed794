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

// The ticks counted while a thread slept `sleepMs` lie between the time
// that surely passed between the two reads and the time that at most did,
// give or take the count's granularity.
void ExpectTicksFollowTime(int sleepMs, long long granularityMs) {
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  const auto outerStart = Clock::now();
  const DWORD before = GetTickCount();
  const auto innerStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
  const auto innerEnd = Clock::now();
  const auto ticks = static_cast<long long>(static_cast<DWORD>(GetTickCount() - before));
  const auto outerEnd = Clock::now();
  EXPECT_GE(ticks, ms(innerEnd - innerStart) - granularityMs);
  EXPECT_LE(ticks, ms(outerEnd - outerStart) + granularityMs);
}

TEST(Time, TickCountNeverGoesBackAndFollowsElapsedTime) {
  DWORD previous = GetTickCount();
  for (int i = 0; i < 100000; ++i) {
    const DWORD now = GetTickCount();
    ASSERT_LT(static_cast<DWORD>(now - previous), 1000u);  // a step back shows near 2^32
    previous = now;
  }
  ExpectTicksFollowTime(200, 17);  // Windows counts in steps of up to 16 ms
}

#ifndef _WIN32
// POSIX only: the wrap comes 49.7 days after boot; the emulation control's
// offset brings it within reach.
TEST(Time, TickCountWrapsAt32Bits) {
  const DWORD real = GetTickCount();
  KvtrEmu_SetTickCountOffset(0u - real - 40u);
  EXPECT_GE(GetTickCount(), 0xFFFFFFD0u);
  ExpectTicksFollowTime(100, 2);
  EXPECT_LT(GetTickCount(), 1000u);
  KvtrEmu_Reset();
  EXPECT_LT(GetTickCount() - real, 10000u);
}
#endif

// The local time lies between two readings of the C library's clock, read
// in the C library's time zone, with its day of the week.
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
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
}

}  // namespace
}  // namespace kvtr::test
