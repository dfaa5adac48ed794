// POSIX platform layer: a process's memory counters (GetProcessMemoryInfo,
// the psapi function). Only the current process can be opened, so the
// counters are the host's for this process, from /proc/self/status and
// getrusage:
//   WorkingSetSize / PeakWorkingSetSize     VmRSS / VmHWM
//   PagefileUsage and PrivateUsage         VmData + VmStk, the private
//                                           writable memory the kernel
//                                           accounts to the process, which
//                                           is what Windows counts as its
//                                           commit charge
//   PeakPagefileUsage                      the same (the host keeps no peak)
//   PageFaultCount                         minor + major faults
//   the pool quotas                        0 (no such pools)
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "handles.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

// The "Name:   123 kB" lines of /proc/self/status, in bytes.
struct StatusSizes {
  SIZE_T rss = 0, peakRss = 0, data = 0, stack = 0;
};

StatusSizes ReadStatusSizes() {
  StatusSizes sizes;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    SIZE_T* target = key == "VmRSS" ? &sizes.rss
                     : key == "VmHWM" ? &sizes.peakRss
                     : key == "VmData" ? &sizes.data
                     : key == "VmStk" ? &sizes.stack
                                      : nullptr;
    if (target != nullptr) *target = static_cast<SIZE_T>(std::strtoull(line.c_str() + colon + 1, nullptr, 10)) * 1024;
  }
  return sizes;
}

}  // namespace
}  // namespace kvtr::posix

extern "C" {

BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) try {
  using namespace kvtr::posix;
  DWORD access = 0;
  if (ReferenceHandleOf<KernelObject>(process, ObjectKind::kProcess, &access) == nullptr) return FALSE;
  if ((access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0 ||
      (access & PROCESS_VM_READ) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (counters == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const StatusSizes sizes = ReadStatusSizes();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  PROCESS_MEMORY_COUNTERS_EX result{};
  result.cb = cb >= sizeof(PROCESS_MEMORY_COUNTERS_EX) ? sizeof(PROCESS_MEMORY_COUNTERS_EX)
                                                      : sizeof(PROCESS_MEMORY_COUNTERS);
  result.PageFaultCount = static_cast<DWORD>(usage.ru_minflt + usage.ru_majflt);
  result.WorkingSetSize = sizes.rss;
  result.PeakWorkingSetSize = sizes.peakRss > sizes.rss ? sizes.peakRss : sizes.rss;
  result.PagefileUsage = sizes.data + sizes.stack;
  result.PeakPagefileUsage = result.PagefileUsage;
  result.PrivateUsage = result.PagefileUsage;
  std::memcpy(counters, &result, result.cb);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
