// The system section of the environment report: processor, memory, disk,
// up time and time zone.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common_utils/environment/crt_time.h"
#include "common_utils/environment/performance_block.h"
#include "common_utils/environment/report_environment.h"
#include "common_utils/environment/report_line.h"
#include "common_utils/registry/registry.h"
#include "common_utils/runtime/guarded_region.h"
#include "common_utils/text/conversions.h"
#include "platform/handle_owners.h"
#include "platform/procedure.h"

namespace kvtr::environment {
namespace {

using installer::HostLogCallback;

installer::LogContextBlock g_context = installer::MakeContextBlock();

constexpr const char* kProcessorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr DWORD kProcessorTextChars = 100;
constexpr DWORD kSystemUpTimeCounter = 674;
constexpr DWORD kUpTimeBufferBytes = 8192;
constexpr DWORD kUpTimeGrowthBytes = 1024;

// The six sizes of the memory status in the order both calls give them,
// with the format for the extended call's 64-bit figures and the basic
// call's.
struct MemorySize {
  const WCHAR* extended;
  const WCHAR* basic;
};
constexpr MemorySize kMemorySizes[] = {
    {W("[ENV] Total size of physical memory: %I64d KB"), W("[ENV] Total size of physical memory: %7ld KB")},
    {W("[ENV] Size of physical memory available: %I64d KB"), W("[ENV] Size of physical memory available: %7ld KB")},
    {W("[ENV] Size of the committed memory limit: %I64d KB"), W("[ENV] Size of the committed memory limit: %7ld KB")},
    {W("[ENV] Size of available memory to commit: %I64d KB"), W("[ENV] Size of available memory to commit: %7ld KB")},
    {W("[ENV] Total size of the user mode portion of the virtual address space of the QMT process: %I64d KB"),
     W("[ENV] Total size of the user mode portion of the virtual address space of the QMT process: %7ld KB")},
    {W("[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space of "
       "the QMT process: %I64d KB"),
     W("[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space of "
       "the QMT process: %7ld KB")},
};
constexpr size_t kMemorySizeCount = sizeof kMemorySizes / sizeof kMemorySizes[0];

WString TrimBlanksAndTabs(const WCHAR* text) {
  WString trimmed(text);
  const size_t first = trimmed.find_first_not_of(W(" \t"));
  if (first == WString::npos) return WString();
  return trimmed.substr(first, trimmed.find_last_not_of(W(" \t")) - first + 1);
}

void ReportProcessor(const ReportUnit& unit, registry::Registry& cpu) {
  WCHAR text[kProcessorTextChars] = {};
  if (cpu.GetString(W("Identifier"), text, kProcessorTextChars)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Processor Identifier: %s"), text);
  }
  if (cpu.GetString(W("VendorIdentifier"), text, kProcessorTextChars)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Processor Vendor Identifier: %s"), text);
  }
  if (cpu.GetString(W("ProcessorNameString"), text, kProcessorTextChars)) {
    const WString name = TrimBlanksAndTabs(text);
    KVTR_ENV_LINE(unit, 3, W("[ENV] Processor Name String: %s"), name.c_str());
  }
  DWORD megahertz = 0;
  if (cpu.GetDWORD(W("~MHz"), &megahertz)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Processor Speed: %d"), static_cast<int>(megahertz));
  }
}

// Total and free bytes of the current drive: the byte call where the
// system offers it and it succeeds, else the cluster call.
bool CurrentDriveSpace(ULONGLONG& total, ULONGLONG& free) {
  using DiskFreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  if (auto bytes = Kernel32Procedure<DiskFreeSpaceEx>("GetDiskFreeSpaceExA")) {
    ULARGE_INTEGER toCaller{}, totalBytes{}, totalFree{};
    if (bytes(nullptr, &toCaller, &totalBytes, &totalFree)) {
      total = totalBytes.QuadPart;
      free = totalFree.QuadPart;
      return true;
    }
  }
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) return false;
  const ULONGLONG cluster = static_cast<ULONGLONG>(sectorsPerCluster) * bytesPerSector;
  total = cluster * totalClusters;
  free = cluster * freeClusters;
  return true;
}

void ReportUpTime(const ReportUnit& unit, HostLogCallback sink) {
  const int64_t seconds = GetUpTimeSecs(sink);
  if (seconds <= 0) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Could not get System up time information. [%I64d]"),
                  static_cast<long long>(seconds));
    return;
  }
  const int64_t days = seconds / 86400;
  const int64_t rest = seconds % 86400;
  KVTR_ENV_LINE(unit, 3, W("[ENV] System up time: %d days %02d hrs %02d mins %02d secs"), static_cast<int>(days),
                static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60), static_cast<int>(rest % 60));
}

void ReportTimeZone(const ReportUnit& unit) {
  const TimeZoneSettings zone = CurrentTimeZone();
  const std::string& name = !zone.daylightName.empty() ? zone.daylightName : zone.standardName;
  WCHAR wide[MAX_PATH] = {};
  if (!name.empty() && MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, MAX_PATH) == 0) wide[0] = 0;
  const long offset = zone.offsetSeconds;
  const long magnitude = offset < 0 ? -offset : offset;
  KVTR_ENV_LINE(unit, 3, W("[ENV] Local Time Zone: %s (GMT%s%02d:%02d)"), wide, offset > 0 ? W("-") : W("+"),
                static_cast<int>(magnitude / 3600), static_cast<int>(magnitude / 60 % 60));
}

// The System object's up time from a performance data block of `size`
// bytes: -1 when counter 674 is absent or lies in the future. Throws
// std::out_of_range for a block whose records leave the buffer.
int64_t UpTimeFromBlock(const BYTE* data, DWORD size, const ReportUnit& unit, bool& reported) {
  const auto need = [size](size_t offset, size_t length) {
    if (offset > size || length > size - offset) throw std::out_of_range("performance data");
  };
  need(0, sizeof(PERF_DATA_BLOCK));
  PERF_DATA_BLOCK block;
  std::memcpy(&block, data, sizeof block);
  if (block.HeaderLength >= block.TotalByteLength) {
    KVTR_ENV_LINE(unit, 3,
                  W("[ENV] Error occurred while collecting performance data from the registry for System uptime "
                    "(HeaderLength = %d, TotalByteLength = %d)"),
                  static_cast<int>(block.HeaderLength), static_cast<int>(block.TotalByteLength));
    reported = true;
    return -1;
  }
  const size_t objectAt = block.HeaderLength;
  need(objectAt, sizeof(PERF_OBJECT_TYPE));
  PERF_OBJECT_TYPE object;
  std::memcpy(&object, data + objectAt, sizeof object);
  size_t counterAt = objectAt + object.HeaderLength;
  for (DWORD i = 0; i < object.NumCounters; ++i) {
    need(counterAt, sizeof(PERF_COUNTER_DEFINITION));
    PERF_COUNTER_DEFINITION counter;
    std::memcpy(&counter, data + counterAt, sizeof counter);
    if (counter.CounterNameTitleIndex == kSystemUpTimeCounter) {
      const size_t valueAt = objectAt + object.DefinitionLength + counter.CounterOffset;
      need(valueAt, sizeof(LONGLONG));
      LONGLONG value;
      std::memcpy(&value, data + valueAt, sizeof value);
      if (object.PerfTime.QuadPart < value) return -1;
      if (object.PerfFreq.QuadPart == 0) throw std::domain_error("performance frequency 0");
      return (object.PerfTime.QuadPart - value) / object.PerfFreq.QuadPart;
    }
    if (counter.ByteLength == 0) break;  // the same record again, for ever
    counterAt += counter.ByteLength;
  }
  return -1;
}

}  // namespace

int64_t GetUpTimeSecs(HostLogCallback sink) {
  const ReportUnit unit{sink, "GetUpTimeSecs", &g_context};
  std::vector<BYTE> buffer(kUpTimeBufferBytes);
  const LONG status = QueryPerformanceBlock(W("2"), buffer, kUpTimeGrowthBytes);
  const UniqueKey performanceData(HKEY_PERFORMANCE_DATA);  // the query opened it
  if (status != ERROR_SUCCESS) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Error occurred while collecting performance data from the registry for System uptime"));
    return -1;
  }
  int64_t result = -1;
  bool reported = false;
  bool failed = false;
  try {
    failed = !runtime::Guarded([&] {
      result = UpTimeFromBlock(buffer.data(), static_cast<DWORD>(buffer.size()), unit, reported);
    });
  } catch (...) {
    failed = true;
  }
  if (failed) {
    KVTR_ENV_TEXT(unit, 3,
                  W("[ENV] Exception occurred while collecting performance data from the registry for System uptime"));
    return -1;
  }
  return result;
}

void ReportEnvironment::ReportSystemMemoryInfo(const ReportEnvironment* report) {
  const ReportUnit unit{report != nullptr ? report->sink() : &DefaultEnvironmentSink,
                        "ReportEnvironment::ReportSystemMemoryInfo", &g_context};
  using MemoryStatusEx = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
  if (auto extended = Kernel32Procedure<MemoryStatusEx>("GlobalMemoryStatusEx")) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (extended(&status)) {
      // A share above 100 comes from figures no system should give (a total
      // capped below what is available): no line rather than a false one.
      if (status.dwMemoryLoad <= 100) {
        KVTR_ENV_LINE(unit, 3, W("[ENV] %ld percent of memory in use."), static_cast<long>(status.dwMemoryLoad));
      }
      const DWORDLONG sizes[] = {status.ullTotalPhys,     status.ullAvailPhys,    status.ullTotalPageFile,
                                 status.ullAvailPageFile, status.ullTotalVirtual, status.ullAvailVirtual};
      for (size_t i = 0; i < kMemorySizeCount; ++i) {
        KVTR_ENV_LINE(unit, 3, kMemorySizes[i].extended, static_cast<long long>(sizes[i] / 1024));
      }
    }
  } else {
    MEMORYSTATUS status{};
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    const SIZE_T sizes[] = {status.dwTotalPhys,     status.dwAvailPhys,    status.dwTotalPageFile,
                            status.dwAvailPageFile, status.dwTotalVirtual, status.dwAvailVirtual};
    for (size_t i = 0; i < kMemorySizeCount; ++i) {
      KVTR_ENV_LINE(unit, 3, kMemorySizes[i].basic, static_cast<long>(sizes[i] / 1024));
    }
  }

  using ProcessMemoryInfo = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
  const UniqueModule psapi(LoadLibraryA("Psapi.dll"));
  if (!psapi) return;
  if (auto counters = ProcedureOf<ProcessMemoryInfo>(psapi.get(), "GetProcessMemoryInfo")) {
    const UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    if (process) {
      PROCESS_MEMORY_COUNTERS_EX memory{};
      memory.cb = sizeof memory;
      if (counters(process.get(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&memory), sizeof memory)) {
        KVTR_ENV_LINE(unit, 3, W("[ENV] Size of private memory of the QMT process: %I64d KB"),
                      static_cast<long long>(memory.PrivateUsage / 1024));
      }
    }
  }
}

void ReportEnvironment::ReportSystemInfo() {
  const ReportUnit unit{sink(), "ReportEnvironment::ReportSystemInfo", &g_context};
  {
    registry::Registry cpu(HKEY_LOCAL_MACHINE, kProcessorKey, registry::Registry::kNoNameCache);
    if (!cpu.Open(false)) {
      const WString path = text::ToWideString(kProcessorKey, -1);
      KVTR_ENV_LINE(unit, 1, W("[ENV] Cannot open CPU config registry key: %s"), path.c_str());
      return;
    }
    ReportProcessor(unit, cpu);
  }
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  KVTR_ENV_LINE(unit, 3, W("[ENV] Number of Processors: %d"), static_cast<int>(system.dwNumberOfProcessors));
  ReportSystemMemoryInfo(this);
  ULONGLONG total = 0, free = 0;
  if (CurrentDriveSpace(total, free)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Total HD bytes: %I64d, Total free bytes = %I64d"), static_cast<long long>(total),
                  static_cast<long long>(free));
  }
  ReportUpTime(unit, sink());
  ReportTimeZone(unit);
}

}  // namespace kvtr::environment
