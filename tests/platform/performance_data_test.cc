// HKEY_PERFORMANCE_DATA: the System object with its up time and the Process
// object with one instance per process, as RegQueryValueExW returns them.
// On Linux the figures are compared with /proc; under Wine with the
// process's own answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_machine.h"

#ifndef _WIN32
#include <unistd.h>

#include <fstream>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

constexpr DWORD kSystemUpTime = 674;
constexpr DWORD kIdProcess = 784;

// The value's data, grown while the answer is ERROR_MORE_DATA.
std::vector<BYTE> Query(const WCHAR* objects, DWORD initial = 1024) {
  std::vector<BYTE> data(initial);
  for (int attempt = 0; attempt < 64; ++attempt) {
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG status = RegQueryValueExW(HKEY_PERFORMANCE_DATA, objects, nullptr, &type, data.data(), &size);
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
      data.resize(size);
      return data;
    }
    EXPECT_EQ(ERROR_MORE_DATA, status);
    if (status != ERROR_MORE_DATA) break;
    data.resize(data.size() * 2);
  }
  ADD_FAILURE() << "no performance data";
  return {};
}

template <typename Record>
Record At(const std::vector<BYTE>& data, size_t offset) {
  Record record{};
  if (offset + sizeof record <= data.size()) std::memcpy(&record, data.data() + offset, sizeof record);
  else ADD_FAILURE() << "record at " << offset << " leaves the " << data.size() << " bytes";
  return record;
}

struct Object {
  size_t offset;
  PERF_OBJECT_TYPE header;
};

// The objects of a block, checking that each lies inside it.
std::vector<Object> Objects(const std::vector<BYTE>& data) {
  std::vector<Object> objects;
  const auto block = At<PERF_DATA_BLOCK>(data, 0);
  EXPECT_EQ(0, std::memcmp(block.Signature, W("PERF"), 8));
  EXPECT_EQ(data.size(), block.TotalByteLength);
  EXPECT_LE(block.HeaderLength, block.TotalByteLength);
  size_t at = block.HeaderLength;
  for (DWORD i = 0; i < block.NumObjectTypes; ++i) {
    const auto header = At<PERF_OBJECT_TYPE>(data, at);
    EXPECT_LE(at + header.TotalByteLength, data.size());
    objects.push_back({at, header});
    at += header.TotalByteLength;
  }
  return objects;
}

bool FindCounter(const std::vector<BYTE>& data, const Object& object, DWORD index, PERF_COUNTER_DEFINITION& found) {
  size_t at = object.offset + object.header.HeaderLength;
  for (DWORD i = 0; i < object.header.NumCounters; ++i) {
    found = At<PERF_COUNTER_DEFINITION>(data, at);
    if (found.CounterNameTitleIndex == index) return true;
    at += found.ByteLength;
  }
  return false;
}

double HostUpTime() {
#ifdef _WIN32
  return static_cast<double>(GetTickCount64()) / 1000.0;
#else
  std::ifstream uptime("/proc/uptime");
  double seconds = 0;
  uptime >> seconds;
  return seconds;
#endif
}

TEST(PerformanceData, SystemObjectCarriesTheRealUpTime) {
  const std::vector<BYTE> data = Query(W("2"));
  const std::vector<Object> objects = Objects(data);
  if (WineDiffers("HKEY_PERFORMANCE_DATA holds no System object")) {
    EXPECT_TRUE(objects.empty());
    return;
  }
  ASSERT_EQ(1u, objects.size());
  const Object& system = objects[0];
  EXPECT_EQ(2u, system.header.ObjectNameTitleIndex);
  EXPECT_EQ(PERF_NO_INSTANCES, system.header.NumInstances);
  PERF_COUNTER_DEFINITION upTime{};
  ASSERT_TRUE(FindCounter(data, system, kSystemUpTime, upTime));
  EXPECT_EQ(sizeof(LONGLONG), upTime.CounterSize);
  const auto bootTime = At<LONGLONG>(data, system.offset + system.header.DefinitionLength + upTime.CounterOffset);
  ASSERT_GT(system.header.PerfFreq.QuadPart, 0);
  const double seconds = static_cast<double>(system.header.PerfTime.QuadPart - bootTime) /
                         static_cast<double>(system.header.PerfFreq.QuadPart);
  EXPECT_NEAR(HostUpTime(), seconds, 2.0);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_PERFORMANCE_DATA));
}

TEST(PerformanceData, SmallBufferGivesMoreData) {
  BYTE small[64] = {};
  DWORD size = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(HKEY_PERFORMANCE_DATA, W("230"), nullptr, nullptr, small, &size));
  // A whole block follows once the buffer is large enough.
  const std::vector<Object> objects = Objects(Query(W("230"), 64));
  if (WineDiffers("HKEY_PERFORMANCE_DATA holds no Process object")) {
    EXPECT_TRUE(objects.empty());
    return;
  }
  EXPECT_EQ(1u, objects.size());
  RegCloseKey(HKEY_PERFORMANCE_DATA);
}

TEST(PerformanceData, ProcessObjectHoldsThisProcessWithItsId) {
  const std::vector<BYTE> data = Query(W("230"), 4096);
  const std::vector<Object> objects = Objects(data);
  if (WineDiffers("HKEY_PERFORMANCE_DATA holds no Process object")) {
    EXPECT_TRUE(objects.empty());
    return;
  }
  ASSERT_EQ(1u, objects.size());
  const Object& process = objects[0];
  EXPECT_EQ(230u, process.header.ObjectNameTitleIndex);
  PERF_COUNTER_DEFINITION id{};
  ASSERT_TRUE(FindCounter(data, process, kIdProcess, id));
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  WString own(path, length);
  own = own.substr(own.find_last_of(W("\\/")) + 1);
  // Windows names an instance after its image without ".exe".
  if (own.size() > 4 && own.substr(own.size() - 4) == W(".exe")) own.resize(own.size() - 4);
  bool found = false;
  size_t at = process.offset + process.header.DefinitionLength;
  for (LONG i = 0; i < process.header.NumInstances; ++i) {
    const auto instance = At<PERF_INSTANCE_DEFINITION>(data, at);
    const size_t counters = at + instance.ByteLength;
    WString name(instance.NameLength / sizeof(WCHAR), 0);
    std::memcpy(name.data(), data.data() + at + instance.NameOffset, name.size() * sizeof(WCHAR));
    name.resize(name.find(WCHAR{0}));
    if (At<DWORD>(data, counters + id.CounterOffset) == GetCurrentProcessId()) {
      EXPECT_EQ(NarrowAscii(own), NarrowAscii(name));
      found = true;
    }
    at = counters + At<PERF_COUNTER_BLOCK>(data, counters).ByteLength;
  }
  EXPECT_TRUE(found);
  RegCloseKey(HKEY_PERFORMANCE_DATA);
}

#ifndef _WIN32
// The up time can be set so that a test sees a given figure.
TEST(PerformanceData, EmulationSetsTheUpTime) {
  KvtrEmu_SetSystemUpTime(90061);
  const std::vector<BYTE> data = Query(W("Global"));
  const std::vector<Object> objects = Objects(data);
  ASSERT_EQ(2u, objects.size());  // System and Process
  PERF_COUNTER_DEFINITION upTime{};
  ASSERT_TRUE(FindCounter(data, objects[0], kSystemUpTime, upTime));
  const auto bootTime = At<LONGLONG>(data, objects[0].offset + objects[0].header.DefinitionLength + upTime.CounterOffset);
  EXPECT_EQ(90061 * objects[0].header.PerfFreq.QuadPart, objects[0].header.PerfTime.QuadPart - bootTime);
  KvtrEmu_ClearSystemUpTime();
}
#endif

}  // namespace
}  // namespace kvtr::test
