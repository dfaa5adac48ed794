// POSIX platform layer: memory figures (GlobalMemoryStatusEx,
// GlobalMemoryStatus), answered from the host on every call.
//
// Sources, field by field:
//   physical total / available  MemTotal / MemAvailable of /proc/meminfo
//                               (MemFree + Buffers + Cached on kernels
//                               before 3.14, which lack MemAvailable)
//   page file total / available physical + swap: MemTotal + SwapTotal and
//                               MemAvailable + SwapFree, the commit limit as
//                               Windows counts it (RAM plus page files)
//   memory load                 the percentage of physical memory in use,
//                               100 * (total - available) / total, truncated
//   virtual total / available   the process's user address range (the one
//                               GetSystemInfo reports) and what of it no
//                               mapping of /proc/self/maps takes
//   extended virtual            always 0, as on Windows
// No product headers here; the machine's identity is in system_info.cc.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

#include "layer.h"
#include "win32_api.h"

namespace {

struct MemoryFacts {
  DWORD load = 0;
  uint64_t totalPhys = 0;
  uint64_t availPhys = 0;
  uint64_t totalPageFile = 0;
  uint64_t availPageFile = 0;
  uint64_t totalVirtual = 0;
  uint64_t availVirtual = 0;
};

// The /proc/meminfo fields in bytes. False when MemTotal is missing.
bool ReadMemInfo(MemoryFacts& facts) {
  kvtr::posix::UniqueStream info(std::fopen("/proc/meminfo", "re"));
  if (!info) return false;
  uint64_t total = 0, available = 0, free = 0, buffers = 0, cached = 0, swapTotal = 0, swapFree = 0;
  bool haveTotal = false, haveAvailable = false;
  char line[256];
  while (std::fgets(line, sizeof line, info.get()) != nullptr) {
    char key[64];
    unsigned long long kib = 0;
    if (std::sscanf(line, "%63[^:]: %llu", key, &kib) != 2) continue;
    const uint64_t bytes = static_cast<uint64_t>(kib) * 1024;
    if (std::strcmp(key, "MemTotal") == 0) total = bytes, haveTotal = true;
    else if (std::strcmp(key, "MemAvailable") == 0) available = bytes, haveAvailable = true;
    else if (std::strcmp(key, "MemFree") == 0) free = bytes;
    else if (std::strcmp(key, "Buffers") == 0) buffers = bytes;
    else if (std::strcmp(key, "Cached") == 0) cached = bytes;
    else if (std::strcmp(key, "SwapTotal") == 0) swapTotal = bytes;
    else if (std::strcmp(key, "SwapFree") == 0) swapFree = bytes;
  }
  if (!haveTotal || total == 0) return false;
  if (!haveAvailable) available = free + buffers + cached;
  if (available > total) available = total;
  if (swapFree > swapTotal) swapFree = swapTotal;
  facts.totalPhys = total;
  facts.availPhys = available;
  facts.totalPageFile = total + swapTotal;
  facts.availPageFile = available + swapFree;
  facts.load = static_cast<DWORD>((total - available) * 100 / total);
  return true;
}

// The bytes of [minimum, maximum] that no mapping of the process takes.
uint64_t UnmappedBytes(uintptr_t minimum, uintptr_t maximum) {
  const uint64_t range = static_cast<uint64_t>(maximum - minimum) + 1;
  kvtr::posix::UniqueStream maps(std::fopen("/proc/self/maps", "re"));
  if (!maps) return range;
  uint64_t mapped = 0;
  char line[4096 + 128];
  while (std::fgets(line, sizeof line, maps.get()) != nullptr) {
    // A path longer than the line buffer continues on the next read, which
    // holds no address range and is skipped.
    const bool complete = std::strchr(line, '\n') != nullptr;
    uint64_t start = 0, end = 0;
    if (std::sscanf(line, "%" SCNx64 "-%" SCNx64, &start, &end) == 2 && end > start) {
      const uint64_t from = start < minimum ? minimum : start;
      const uint64_t to = end > static_cast<uint64_t>(maximum) + 1 ? static_cast<uint64_t>(maximum) + 1 : end;
      if (to > from) mapped += to - from;
    }
    while (!complete && std::fgets(line, sizeof line, maps.get()) != nullptr && std::strchr(line, '\n') == nullptr) {
    }
  }
  return mapped >= range ? 0 : range - mapped;
}

bool ReadMemoryFacts(MemoryFacts& facts) {
  if (!ReadMemInfo(facts)) return false;
  uintptr_t minimum = 0, maximum = 0;
  kvtr::posix::ApplicationAddressRange(minimum, maximum);
  facts.totalVirtual = static_cast<uint64_t>(maximum - minimum) + 1;
  facts.availVirtual = UnmappedBytes(minimum, maximum);
  return true;
}

SIZE_T Saturated(uint64_t bytes) {
  constexpr uint64_t kMax = std::numeric_limits<SIZE_T>::max();
  return static_cast<SIZE_T>(bytes > kMax ? kMax : bytes);
}

}  // namespace

extern "C" {

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status) try {
  if (status == nullptr || status->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MemoryFacts facts;
  if (!ReadMemoryFacts(facts)) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  status->dwMemoryLoad = facts.load;
  status->ullTotalPhys = facts.totalPhys;
  status->ullAvailPhys = facts.availPhys;
  status->ullTotalPageFile = facts.totalPageFile;
  status->ullAvailPageFile = facts.availPageFile;
  status->ullTotalVirtual = facts.totalVirtual;
  status->ullAvailVirtual = facts.availVirtual;
  status->ullAvailExtendedVirtual = 0;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException(FALSE);
}

void GlobalMemoryStatus(LPMEMORYSTATUS status) try {
  if (status == nullptr) return;
  MemoryFacts facts;
  // Nothing to report failure with: all zeros then, with the length set.
  if (!ReadMemoryFacts(facts)) facts = MemoryFacts{};
  status->dwLength = sizeof(MEMORYSTATUS);
  status->dwMemoryLoad = facts.load;
  status->dwTotalPhys = Saturated(facts.totalPhys);
  status->dwAvailPhys = Saturated(facts.availPhys);
  status->dwTotalPageFile = Saturated(facts.totalPageFile);
  status->dwAvailPageFile = Saturated(facts.availPageFile);
  status->dwTotalVirtual = Saturated(facts.totalVirtual);
  status->dwAvailVirtual = Saturated(facts.availVirtual);
} catch (...) {
  // Nothing here allocates; the barrier keeps that true of later changes.
}

}  // extern "C"
