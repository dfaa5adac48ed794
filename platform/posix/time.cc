// POSIX platform layer: time (GetTickCount, GetLocalTime) and the tick
// count offset of the emulation control.
//
// The tick count is the host's time since boot (CLOCK_BOOTTIME, which like
// Windows' count goes on while the machine sleeps; CLOCK_MONOTONIC where
// there is none) in milliseconds, cut to 32 bits so it wraps after 49.7
// days as Windows' does. Local time is the C library's, so it follows TZ.
#include <time.h>

#include <atomic>

#include "emulation.h"
#include "layer.h"

namespace {

#ifdef CLOCK_BOOTTIME
constexpr clockid_t kSinceBoot = CLOCK_BOOTTIME;
#else
constexpr clockid_t kSinceBoot = CLOCK_MONOTONIC;
#endif

std::atomic<DWORD> g_tickOffset{0};

}  // namespace

namespace kvtr::posix {

void TimeResetControls() { g_tickOffset.store(0, std::memory_order_relaxed); }

double HostUpTimeSeconds() {
  timespec now{};
  clock_gettime(kSinceBoot, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace kvtr::posix

extern "C" {

DWORD GetTickCount(void) {
  timespec now{};
  clock_gettime(kSinceBoot, &now);
  const uint64_t milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(milliseconds) + g_tickOffset.load(std::memory_order_relaxed);
}

void GetLocalTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  if (localtime_r(&now.tv_sec, &local) == nullptr) gmtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second (60) does not exist for Windows.
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void KvtrEmu_SetTickCountOffset(DWORD offsetMs) { g_tickOffset.store(offsetMs, std::memory_order_relaxed); }

}  // extern "C"
