// POSIX platform layer: HKEY_PERFORMANCE_DATA, answered from the host on
// each query. Two objects exist: System (index 2) with Processes (248) and
// System Up Time (674), and Process (230) with one instance per running
// process carrying % Processor Time (6) and ID Process (784). Times are in
// 100-nanosecond units since 1601 with a frequency of 10^7, as Windows keeps
// them for these objects, so (PerfTime - value) / PerfFreq is the up time.
// The block is built whole and copied out only when it fits: a smaller
// buffer gives ERROR_MORE_DATA with *size left alone (Windows leaves it
// undefined), which callers answer by growing their buffer.
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "emulation.h"
#include "layer.h"

namespace kvtr::posix {
namespace {

constexpr DWORD kSystemObject = 2;
constexpr DWORD kProcessObject = 230;
constexpr DWORD kProcessesCounter = 248;
constexpr DWORD kSystemUpTimeCounter = 674;
constexpr DWORD kProcessorTimeCounter = 6;
constexpr DWORD kIdProcessCounter = 784;
constexpr LONGLONG kTicksPerSecond = 10000000;
constexpr LONGLONG kUnixEpochTicks = 116444736000000000LL;

std::atomic<bool> g_upTimeSet{false};
std::atomic<LONGLONG> g_upTimeSeconds{0};

LONGLONG NowTicks() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpochTicks + static_cast<LONGLONG>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

LONGLONG UpTimeTicks() {
  if (g_upTimeSet.load()) return g_upTimeSeconds.load() * kTicksPerSecond;
  return static_cast<LONGLONG>(HostUpTimeSeconds() * static_cast<double>(kTicksPerSecond));
}

size_t AlignTo8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// Appends raw bytes to the block being built.
class Builder {
 public:
  size_t size() const { return bytes_.size(); }
  template <typename Record>
  size_t Add(const Record& record) {
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof record);
    std::memcpy(bytes_.data() + at, &record, sizeof record);
    return at;
  }
  void AddBytes(const void* data, size_t count) {
    const auto* from = static_cast<const BYTE*>(data);
    bytes_.insert(bytes_.end(), from, from + count);
  }
  void PadTo8() { bytes_.resize(AlignTo8(bytes_.size())); }
  template <typename Record>
  Record* At(size_t offset) {
    return reinterpret_cast<Record*>(bytes_.data() + offset);
  }
  std::vector<BYTE>& bytes() { return bytes_; }

 private:
  std::vector<BYTE> bytes_;
};

PERF_COUNTER_DEFINITION Counter(DWORD index, DWORD type, DWORD size, DWORD offset) {
  PERF_COUNTER_DEFINITION counter{};
  counter.ByteLength = sizeof counter;
  counter.CounterNameTitleIndex = index;
  counter.CounterHelpTitleIndex = index + 1;
  counter.DetailLevel = PERF_DETAIL_NOVICE;
  counter.CounterType = type;
  counter.CounterSize = size;
  counter.CounterOffset = offset;
  return counter;
}

PERF_OBJECT_TYPE ObjectHeader(DWORD index, DWORD counters, LONG instances, LONGLONG now) {
  PERF_OBJECT_TYPE object{};
  object.HeaderLength = sizeof object;
  object.ObjectNameTitleIndex = index;
  object.ObjectHelpTitleIndex = index + 1;
  object.DetailLevel = PERF_DETAIL_NOVICE;
  object.NumCounters = counters;
  object.DefaultCounter = 0;
  object.NumInstances = instances;
  object.PerfTime.QuadPart = now;
  object.PerfFreq.QuadPart = kTicksPerSecond;
  return object;
}

void AddSystemObject(Builder& out, LONGLONG now, const std::vector<HostProcess>& processes) {
  const size_t start = out.Add(ObjectHeader(kSystemObject, 2, PERF_NO_INSTANCES, now));
  // The counter block: its length, then Processes (DWORD at 8) and System
  // Up Time (the boot time at 16).
  out.Add(Counter(kProcessesCounter, PERF_COUNTER_RAWCOUNT, sizeof(DWORD), 8));
  out.Add(Counter(kSystemUpTimeCounter, PERF_ELAPSED_TIME | PERF_SIZE_LARGE, sizeof(LONGLONG), 16));
  const size_t definitions = out.size() - start;
  struct {
    PERF_COUNTER_BLOCK block;
    DWORD padding;
    DWORD processes;
    DWORD padding2;
    LONGLONG bootTime;
  } data{};
  data.block.ByteLength = sizeof data;
  data.processes = static_cast<DWORD>(processes.size());
  data.bootTime = now - UpTimeTicks();
  out.Add(data);
  auto* object = out.At<PERF_OBJECT_TYPE>(start);
  object->DefinitionLength = static_cast<DWORD>(definitions);
  object->TotalByteLength = static_cast<DWORD>(out.size() - start);
}

void AddProcessObject(Builder& out, LONGLONG now, const std::vector<HostProcess>& processes) {
  const size_t start = out.Add(ObjectHeader(kProcessObject, 2, static_cast<LONG>(processes.size()), now));
  out.Add(Counter(kProcessorTimeCounter, PERF_100NSEC_TIMER, sizeof(LONGLONG), 8));
  out.Add(Counter(kIdProcessCounter, PERF_COUNTER_RAWCOUNT, sizeof(DWORD), 16));
  const size_t definitions = out.size() - start;
  const long ticksPerClock = sysconf(_SC_CLK_TCK);
  for (const HostProcess& process : processes) {
    PERF_INSTANCE_DEFINITION instance{};
    instance.ParentObjectInstance = 0;
    instance.UniqueID = PERF_NO_UNIQUE_ID;
    instance.NameOffset = sizeof instance;
    instance.NameLength = static_cast<DWORD>((process.exeFile.size() + 1) * sizeof(WCHAR));
    instance.ByteLength = static_cast<DWORD>(AlignTo8(sizeof instance + instance.NameLength));
    out.Add(instance);
    out.AddBytes(process.exeFile.c_str(), instance.NameLength);
    out.PadTo8();
    struct {
      PERF_COUNTER_BLOCK block;
      DWORD padding;
      LONGLONG processorTime;
      DWORD id;
      DWORD padding2;
    } data{};
    data.block.ByteLength = sizeof data;
    data.processorTime = ticksPerClock > 0 ? process.cpuClockTicks * (kTicksPerSecond / ticksPerClock) : 0;
    data.id = process.id;
    out.Add(data);
  }
  auto* object = out.At<PERF_OBJECT_TYPE>(start);
  object->DefinitionLength = static_cast<DWORD>(definitions);
  object->TotalByteLength = static_cast<DWORD>(out.size() - start);
}

// The object indices a value name asks for, in the order asked, each once.
std::vector<DWORD> RequestedObjects(WStringView name) {
  if (EqualNoCase(name, W("Global"))) return {kSystemObject, kProcessObject};
  std::vector<DWORD> objects;
  size_t at = 0;
  while (at < name.size()) {
    while (at < name.size() && name[at] == ' ') ++at;
    DWORD index = 0;
    bool digits = false;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
      index = index * 10 + static_cast<DWORD>(name[at] - '0');
      digits = true;
      ++at;
    }
    while (at < name.size() && name[at] != ' ') ++at;  // a word that is no index
    if (digits && (index == kSystemObject || index == kProcessObject)) {
      bool seen = false;
      for (DWORD known : objects) seen = seen || known == index;
      if (!seen) objects.push_back(index);
    }
  }
  return objects;
}

std::vector<BYTE> BuildBlock(const std::vector<DWORD>& objects) {
  const LONGLONG now = NowTicks();
  Builder out;
  PERF_DATA_BLOCK header{};
  std::memcpy(header.Signature, W("PERF"), sizeof header.Signature);
  header.LittleEndian = 1;
  header.Version = 1;
  header.Revision = 1;
  header.NumObjectTypes = static_cast<DWORD>(objects.size());
  header.DefaultObject = objects.empty() ? 0 : static_cast<LONG>(objects.front());
  const LONGLONG unixTicks = now - kUnixEpochTicks;
  const time_t seconds = static_cast<time_t>(unixTicks / kTicksPerSecond);
  tm utc{};
  gmtime_r(&seconds, &utc);
  header.SystemTime.wYear = static_cast<WORD>(utc.tm_year + 1900);
  header.SystemTime.wMonth = static_cast<WORD>(utc.tm_mon + 1);
  header.SystemTime.wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  header.SystemTime.wDay = static_cast<WORD>(utc.tm_mday);
  header.SystemTime.wHour = static_cast<WORD>(utc.tm_hour);
  header.SystemTime.wMinute = static_cast<WORD>(utc.tm_min);
  header.SystemTime.wSecond = static_cast<WORD>(utc.tm_sec > 59 ? 59 : utc.tm_sec);
  header.SystemTime.wMilliseconds = static_cast<WORD>((unixTicks / 10000) % 1000);
  header.PerfTime.QuadPart = now;
  header.PerfFreq.QuadPart = kTicksPerSecond;
  header.PerfTime100nSec.QuadPart = now;
  out.Add(header);
  // The computer's name follows the header, which includes it.
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD nameChars = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameExW(ComputerNameNetBIOS, name, &nameChars)) nameChars = 0;
  const size_t nameAt = out.size();
  out.AddBytes(name, (nameChars + 1) * sizeof(WCHAR));
  out.PadTo8();
  const size_t headerLength = out.size();

  const std::vector<HostProcess> processes = ReadHostProcesses();
  for (DWORD object : objects) {
    if (object == kSystemObject) AddSystemObject(out, now, processes);
    if (object == kProcessObject) AddProcessObject(out, now, processes);
  }
  auto* block = out.At<PERF_DATA_BLOCK>(0);
  block->SystemNameLength = static_cast<DWORD>((nameChars + 1) * sizeof(WCHAR));
  block->SystemNameOffset = static_cast<DWORD>(nameAt);
  block->HeaderLength = static_cast<DWORD>(headerLength);
  block->TotalByteLength = static_cast<DWORD>(out.size());
  return std::move(out.bytes());
}

}  // namespace

LONG QueryPerformanceData(WStringView name, DWORD* type, BYTE* data, DWORD* size) {
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  const std::vector<BYTE> block = BuildBlock(RequestedObjects(name));
  if (data == nullptr || *size < block.size()) return ERROR_MORE_DATA;
  std::memcpy(data, block.data(), block.size());
  *size = static_cast<DWORD>(block.size());
  if (type != nullptr) *type = REG_BINARY;
  return ERROR_SUCCESS;
}

void PerformanceDataResetControls() { g_upTimeSet.store(false); }

}  // namespace kvtr::posix

extern "C" {

void KvtrEmu_SetSystemUpTime(LONGLONG seconds) {
  kvtr::posix::g_upTimeSeconds.store(seconds);
  kvtr::posix::g_upTimeSet.store(true);
}

void KvtrEmu_ClearSystemUpTime(void) { kvtr::posix::g_upTimeSet.store(false); }

}  // extern "C"
