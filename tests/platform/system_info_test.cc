// The machine's facts: computer name, version, processors, memory and disk
// space. The size rules are checked with sentinels everywhere; on Linux the
// figures are compared with what the test reads from the host itself, under
// Wine with their plausibility and with each other.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_machine.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr WCHAR kFill = 0x2323;  // "##" in a pre-filled wide buffer

WString NameOf(COMPUTER_NAME_FORMAT format) {
  DWORD size = 0;
  EXPECT_FALSE(GetComputerNameExW(format, nullptr, &size));
  WString name(size, kFill);
  if (size == 0 || !GetComputerNameExW(format, name.data(), &size)) {
    ADD_FAILURE() << "format " << format << " failed with " << GetLastError();
    return WString();
  }
  name.resize(size);
  return name;
}

TEST(SystemFacts, ComputerNameFollowsTheSizeRules) {
  const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                          ComputerNamePhysicalNetBIOS, ComputerNamePhysicalDnsHostname};
  for (COMPUTER_NAME_FORMAT format : formats) {
    SCOPED_TRACE(testing::Message() << "format " << format);
    const WString name = NameOf(format);
    ASSERT_FALSE(name.empty());
    const DWORD length = static_cast<DWORD>(name.size());
    struct Case {
      DWORD size;
      BOOL result;
      DWORD sizeAfter;
      DWORD error;
    };
    const Case cases[] = {
        {0, FALSE, length + 1, ERROR_MORE_DATA},
        {length, FALSE, length + 1, ERROR_MORE_DATA},
        {length + 1, TRUE, length, kSentinel},
        {length + 10, TRUE, length, kSentinel},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "size " << c.size);
      WString buffer(length + 12, kFill);
      DWORD size = c.size;
      SetLastError(kSentinel);
      EXPECT_EQ(GetComputerNameExW(format, buffer.data(), &size), c.result);
      EXPECT_EQ(size, c.sizeAfter);
      EXPECT_EQ(GetLastError(), c.error);
      if (c.result) {
        EXPECT_EQ(buffer.substr(0, length + 1), name + WString(1, 0));
        EXPECT_EQ(buffer[length + 1], kFill);
      } else {
        EXPECT_EQ(buffer, WString(length + 12, kFill));
      }
    }
  }
  DWORD size = 64;
  WCHAR buffer[64];
  SetLastError(kSentinel);
  EXPECT_FALSE(GetComputerNameExW(ComputerNameMax, buffer, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SystemFacts, ComputerNameFormsAgreeWithTheHostName) {
  const WString dns = NameOf(ComputerNameDnsHostname);
  const WString netBios = NameOf(ComputerNameNetBIOS);
  EXPECT_EQ(NameOf(ComputerNamePhysicalDnsHostname), dns);
  EXPECT_EQ(NameOf(ComputerNamePhysicalNetBIOS), netBios);
  // NetBIOS: the DNS host name upper-cased and cut to 15 characters.
  std::string expected = NarrowAscii(dns).substr(0, MAX_COMPUTERNAME_LENGTH);
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(NarrowAscii(netBios), expected);
  EXPECT_EQ(dns.find('.'), WString::npos);
#ifndef _WIN32
  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(NarrowAscii(dns), std::string(host).substr(0, std::string(host).find('.')));
#endif
}

TEST(SystemFacts, VersionRecordSizeDecidesWhatIsFilled) {
  struct Case {
    DWORD size;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {sizeof(OSVERSIONINFOA), TRUE, kSentinel},  {sizeof(OSVERSIONINFOEXA), TRUE, kSentinel},
      {0, FALSE, ERROR_INSUFFICIENT_BUFFER},      {sizeof(OSVERSIONINFOA) - 1, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {sizeof(OSVERSIONINFOA) + 1, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {sizeof(OSVERSIONINFOEXA) + 4, FALSE, ERROR_INSUFFICIENT_BUFFER},
  };
  static_assert(sizeof(OSVERSIONINFOA) == 148 && sizeof(OSVERSIONINFOEXA) == 156, "the SDK's layouts");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size);
    unsigned char record[sizeof(OSVERSIONINFOEXA) + 16];
    std::memset(record, 0xA5, sizeof record);
    std::memcpy(record, &c.size, sizeof c.size);
    SetLastError(kSentinel);
    EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(record)), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    const size_t written = c.result ? c.size : sizeof c.size;
    for (size_t i = written; i < sizeof record; ++i) ASSERT_EQ(record[i], 0xA5) << "byte " << i;
    if (!c.result) continue;
    OSVERSIONINFOEXA version{};
    std::memcpy(&version, record, c.size);
    EXPECT_EQ(version.dwOSVersionInfoSize, c.size);
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_NE(std::memchr(version.szCSDVersion, 0, sizeof version.szCSDVersion), nullptr);
    if (c.size == sizeof(OSVERSIONINFOEXA)) {
      EXPECT_EQ(version.wProductType, VER_NT_WORKSTATION);
    }
#ifdef _WIN32
    EXPECT_GE(version.dwMajorVersion, 5u);
#else
    utsname host{};
    ASSERT_EQ(uname(&host), 0);
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(host.release, "%u.%u.%u", &major, &minor, &patch);
    EXPECT_EQ(version.dwMajorVersion, major);
    EXPECT_EQ(version.dwMinorVersion, minor);
    EXPECT_EQ(version.dwBuildNumber, patch);
    EXPECT_STREQ(version.szCSDVersion, "");
    if (c.size == sizeof(OSVERSIONINFOEXA)) {
      EXPECT_EQ(version.wServicePackMajor, 0);
      EXPECT_EQ(version.wServicePackMinor, 0);
    }
#endif
  }
}

TEST(SystemFacts, SystemInfoDescribesThisProcessAndItsProcessors) {
  SYSTEM_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  GetSystemInfo(&info);
#if defined(__x86_64__) || defined(_M_X64)
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
  EXPECT_EQ(info.dwProcessorType, static_cast<DWORD>(PROCESSOR_AMD_X8664));
#elif defined(__i386__) || defined(_M_IX86)
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_INTEL);
  EXPECT_EQ(info.dwProcessorType, static_cast<DWORD>(PROCESSOR_INTEL_PENTIUM));
#endif
  EXPECT_EQ(info.dwAllocationGranularity, 65536u);
  EXPECT_LT(info.lpMinimumApplicationAddress, info.lpMaximumApplicationAddress);
  const auto here = reinterpret_cast<uintptr_t>(&info);
  EXPECT_GE(here, reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress));
  EXPECT_LE(here, reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress));
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
  if (info.dwNumberOfProcessors < sizeof(DWORD_PTR) * 8) {
    EXPECT_EQ(info.dwActiveProcessorMask, (DWORD_PTR{1} << info.dwNumberOfProcessors) - 1);
  }
#ifdef _WIN32
  EXPECT_EQ(info.dwPageSize, 4096u);
#else
  EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
#if defined(__x86_64__) || defined(__i386__)
  // The first processor's family, model and stepping as the host lists them.
  const std::string cpuinfo = ReadHostFile("/proc/cpuinfo");
  const auto field = [&cpuinfo](const char* name) {
    const size_t at = cpuinfo.find(std::string("\n") + name);
    return at == std::string::npos ? -1 : std::atoi(cpuinfo.c_str() + cpuinfo.find(':', at) + 1);
  };
  const int family = field("cpu family\t"), model = field("model\t"), stepping = field("stepping\t");
  if (family >= 0 && model >= 0 && stepping >= 0) {
    EXPECT_EQ(info.wProcessorLevel, family);
    EXPECT_EQ(info.wProcessorRevision, (model << 8) | stepping);
  }
#endif
#endif
}

#ifndef _WIN32
// A /proc/meminfo field in bytes.
uint64_t MemInfoBytes(const std::string& meminfo, const char* name) {
  const size_t at = meminfo.find(std::string(name) + ":");
  EXPECT_NE(at, std::string::npos) << name;
  return at == std::string::npos ? 0 : std::strtoull(meminfo.c_str() + at + std::strlen(name) + 1, nullptr, 10) * 1024;
}
#endif

TEST(SystemFacts, MemoryStatusExNeedsItsLength) {
  for (DWORD length : {DWORD{0}, DWORD{sizeof(MEMORYSTATUSEX) - 1}, DWORD{sizeof(MEMORYSTATUSEX) + 1}}) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    MEMORYSTATUSEX status;
    std::memset(&status, 0xA5, sizeof status);
    status.dwLength = length;
    SetLastError(kSentinel);
    EXPECT_FALSE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(status.dwMemoryLoad, 0xA5A5A5A5u);
    EXPECT_EQ(status.ullTotalPhys, 0xA5A5A5A5A5A5A5A5ull);
  }
}

TEST(SystemFacts, MemoryFiguresAreTheMachinesAndAgreeWithEachOther) {
  static_assert(sizeof(MEMORYSTATUSEX) == 64, "the SDK's layout");
  MEMORYSTATUSEX ex;
  std::memset(&ex, 0xA5, sizeof ex);
  ex.dwLength = sizeof ex;
  SetLastError(kSentinel);
  ASSERT_TRUE(GlobalMemoryStatusEx(&ex));
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_GT(ex.ullTotalPhys, 0u);
  const bool cappedTotal = ex.ullAvailPhys > ex.ullTotalPhys &&
                           Wine32Differs("total physical memory is capped at 3.8 GB, the available figure is not, "
                                         "and the load is computed from both");
  if (!cappedTotal) {
    EXPECT_LE(ex.ullAvailPhys, ex.ullTotalPhys);
  }
  EXPECT_LE(ex.ullAvailPageFile, ex.ullTotalPageFile);
  EXPECT_GE(ex.ullTotalPageFile, ex.ullTotalPhys);
  EXPECT_LE(ex.ullAvailVirtual, ex.ullTotalVirtual);
  EXPECT_GT(ex.ullAvailVirtual, 0u);
  EXPECT_EQ(ex.ullAvailExtendedVirtual, 0u);
  if (!cappedTotal) {
    EXPECT_LE(ex.dwMemoryLoad, 100u);
    // The load is the share of physical memory in use, within a point for
    // memory that changed between the reads.
    const double inUse =
        100.0 * static_cast<double>(ex.ullTotalPhys - ex.ullAvailPhys) / static_cast<double>(ex.ullTotalPhys);
    EXPECT_NEAR(ex.dwMemoryLoad, inUse, 1.5);
  }

  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const uint64_t range = reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress) -
                         reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress) + 1;
  EXPECT_EQ(ex.ullTotalVirtual, range);

  MEMORYSTATUS status;
  std::memset(&status, 0xA5, sizeof status);
  status.dwLength = 0;
  GlobalMemoryStatus(&status);
  EXPECT_EQ(status.dwLength, sizeof status);
  // Figures that do not fit are cut; a 32-bit program that is not large
  // address aware is told of at most 2 GB of physical memory.
  const auto saturated = [](DWORDLONG bytes, SIZE_T most) { return static_cast<SIZE_T>(bytes > most ? most : bytes); };
  const SIZE_T mostPhysical = sizeof(void*) == 4 ? 0x7FFFFFFF : static_cast<SIZE_T>(-1);
  EXPECT_EQ(status.dwTotalPhys, saturated(ex.ullTotalPhys, mostPhysical));
  EXPECT_EQ(status.dwTotalVirtual, saturated(ex.ullTotalVirtual, static_cast<SIZE_T>(-1)));
  if (!cappedTotal) {
    EXPECT_LE(status.dwAvailPhys, status.dwTotalPhys);
  }
  if (!Wine32Differs("the available page file is cut at 4 GB, the total a little below it")) {
    EXPECT_LE(status.dwAvailPageFile, status.dwTotalPageFile);
  }
  EXPECT_LE(status.dwAvailVirtual, status.dwTotalVirtual);

#ifndef _WIN32
  const std::string meminfo = ReadHostFile("/proc/meminfo");
  const uint64_t total = MemInfoBytes(meminfo, "MemTotal");
  const uint64_t available = MemInfoBytes(meminfo, "MemAvailable");
  const uint64_t swapTotal = MemInfoBytes(meminfo, "SwapTotal");
  const uint64_t swapFree = MemInfoBytes(meminfo, "SwapFree");
  EXPECT_EQ(ex.ullTotalPhys, total);
  EXPECT_EQ(ex.ullTotalPageFile, total + swapTotal);
  EXPECT_NEAR(static_cast<double>(ex.ullAvailPhys), static_cast<double>(available), total / 100.0);
  EXPECT_NEAR(static_cast<double>(ex.ullAvailPageFile), static_cast<double>(available + swapFree), total / 100.0);
  // A new mapping is taken from the available address space.
  const size_t megabyte = 1 << 20;
  void* block = mmap(nullptr, 64 * megabyte, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  MEMORYSTATUSEX after{};
  after.dwLength = sizeof after;
  ASSERT_TRUE(GlobalMemoryStatusEx(&after));
  EXPECT_LE(after.ullAvailVirtual + 64 * megabyte, ex.ullAvailVirtual + 8 * megabyte);
  munmap(block, 64 * megabyte);
#endif
}

struct DiskSpace {
  BOOL ok = FALSE;
  DWORD error = 0;
  ULARGE_INTEGER callerFree{}, total{}, totalFree{};
};

DiskSpace SpaceOf(const char* path) {
  DiskSpace space;
  space.callerFree.QuadPart = space.total.QuadPart = space.totalFree.QuadPart = 0xA5A5A5A5A5A5A5A5ull;
  SetLastError(kSentinel);
  space.ok = GetDiskFreeSpaceExA(path, &space.callerFree, &space.total, &space.totalFree);
  space.error = GetLastError();
  return space;
}

TEST(SystemFacts, DiskSpaceOfExistingDirectoriesIsTheVolumes) {
  TestMachine machine;
  const std::string scratch = NarrowAscii(machine.ScratchFolder());
  ASSERT_TRUE(TestMachine::WriteFile(machine.ScratchFolder() + W("\\file.txt"), "x"));
  const std::string paths[] = {"", scratch, scratch + "\\", "C:\\"};
  const DiskSpace reference = SpaceOf(scratch.c_str());
  for (const std::string& path : paths) {
    SCOPED_TRACE(path.empty() ? std::string("NULL") : path);
    const DiskSpace space = SpaceOf(path.empty() ? nullptr : path.c_str());
    ASSERT_TRUE(space.ok) << space.error;
    EXPECT_EQ(space.error, kSentinel);
    EXPECT_GT(space.total.QuadPart, 0u);
    EXPECT_LE(space.totalFree.QuadPart, space.total.QuadPart);
    EXPECT_LE(space.callerFree.QuadPart, space.totalFree.QuadPart);
    if (path.empty()) continue;  // the current drive may be another volume
    EXPECT_EQ(space.total.QuadPart, reference.total.QuadPart);
    // Others write to the volume meanwhile: free space agrees within 1 %.
    EXPECT_NEAR(static_cast<double>(space.totalFree.QuadPart), static_cast<double>(reference.totalFree.QuadPart),
                reference.total.QuadPart / 100.0);

    DWORD sectors = kSentinel, bytes = kSentinel, freeClusters = kSentinel, totalClusters = kSentinel;
    ASSERT_TRUE(GetDiskFreeSpaceA(path.c_str(), &sectors, &bytes, &freeClusters, &totalClusters));
    const uint64_t cluster = uint64_t{sectors} * bytes;
    ASSERT_GT(cluster, 0u);
    // The clusters multiply back to the volume's size, less at most one cluster.
    EXPECT_LE(cluster * totalClusters, space.total.QuadPart);
    EXPECT_LT(space.total.QuadPart - cluster * totalClusters, cluster);
    EXPECT_NEAR(static_cast<double>(cluster * freeClusters), static_cast<double>(space.callerFree.QuadPart),
                reference.total.QuadPart / 100.0 + static_cast<double>(cluster));
  }
  // Any out-value may be left out.
  EXPECT_TRUE(GetDiskFreeSpaceExA(scratch.c_str(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(GetDiskFreeSpaceA(scratch.c_str(), nullptr, nullptr, nullptr, nullptr));
#ifndef _WIN32
  struct statvfs volume {};
  ASSERT_EQ(statvfs(KvtrEmu_Prefix(), &volume), 0);
  EXPECT_EQ(reference.total.QuadPart, uint64_t{volume.f_blocks} * volume.f_frsize);
  EXPECT_NEAR(static_cast<double>(reference.callerFree.QuadPart), static_cast<double>(uint64_t{volume.f_bavail} * volume.f_frsize),
              reference.total.QuadPart / 100.0);
#endif
}

TEST(SystemFacts, DiskSpaceOfMissingPathsFailsAndLeavesTheValues) {
  TestMachine machine;
  const std::string scratch = NarrowAscii(machine.ScratchFolder());
  ASSERT_TRUE(TestMachine::WriteFile(machine.ScratchFolder() + W("\\file.txt"), "x"));
  struct Case {
    std::string path;
    DWORD error;
  };
  const Case cases[] = {
      {scratch + "\\missing", ERROR_FILE_NOT_FOUND},
      {scratch + "\\missing\\", ERROR_FILE_NOT_FOUND},
      {scratch + "\\missing\\deeper\\", ERROR_PATH_NOT_FOUND},
      {scratch + "\\file.txt", ERROR_DIRECTORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const DiskSpace space = SpaceOf(c.path.c_str());
    EXPECT_FALSE(space.ok);
    EXPECT_EQ(space.error, c.error);
    EXPECT_EQ(space.total.QuadPart, 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(space.callerFree.QuadPart, 0xA5A5A5A5A5A5A5A5ull);
    DWORD sectors = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetDiskFreeSpaceA(c.path.c_str(), &sectors, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sectors, kSentinel);
  }
}

// The processor key is the host's first processor: Windows' identifier
// form, vendor, name and speed.
TEST(SystemFacts, ProcessorKeyDescribesTheFirstProcessor) {
  TestMachine machine;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                                         KEY_READ, &key));
  const auto text = [key](const WCHAR* name) {
    WCHAR value[256] = {};
    DWORD size = sizeof value - sizeof(WCHAR);
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size))
        << NarrowAscii(name);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    return NarrowAscii(value);
  };
  const std::string identifier = text(W("Identifier"));
  const std::string vendor = text(W("VendorIdentifier"));
  const std::string name = text(W("ProcessorNameString"));
  DWORD megahertz = 0, size = sizeof megahertz, type = 0;
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, W("~MHz"), nullptr, &type, reinterpret_cast<BYTE*>(&megahertz), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_GT(megahertz, 0u);
  RegCloseKey(key);
#if !defined(_WIN32) && (defined(__x86_64__) || defined(__i386__))
  const std::string cpuinfo = ReadHostFile("/proc/cpuinfo");
  const auto field = [&cpuinfo](const char* label) {
    const size_t at = cpuinfo.find(std::string(label));
    if (at == std::string::npos) return std::string();
    const size_t start = cpuinfo.find_first_not_of(" \t", cpuinfo.find(':', at) + 1);
    return cpuinfo.substr(start, cpuinfo.find('\n', start) - start);
  };
  EXPECT_EQ(field("vendor_id"), vendor);
  EXPECT_EQ(field("model name"), name);
  const std::string architecture = vendor == "AuthenticAMD" ? "AMD64" : "Intel64";
  EXPECT_EQ(architecture + " Family " + field("cpu family") + " Model " + field("model\t") + " Stepping " +
                field("stepping"),
            identifier);
#else
  EXPECT_NE(std::string::npos, identifier.find("Family")) << identifier;
  EXPECT_FALSE(vendor.empty());
  (void)name;
#endif
}

#ifndef _WIN32
// The hardware keys are volatile: a snapshot of the machine does not hold
// them.
TEST(SystemFacts, ProcessorKeyNeverReachesTheRegistryFile) {
  TestMachine machine;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                                         KEY_READ, &key));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, (machine.ScratchKey() + "\\changed").c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  const std::string file = ReadHostFile(std::string(KvtrEmu_Prefix()) + "/registry.reg");
  EXPECT_NE(std::string::npos, file.find("changed"));
  EXPECT_EQ(std::string::npos, file.find("CentralProcessor"));
  EXPECT_EQ(std::string::npos, file.find("HKEY_LOCAL_MACHINE\\HARDWARE"));
}
#endif

TEST(SystemFacts, ProcessMemoryCountersThroughPsapi) {
  using MemoryInfo = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
  HMODULE psapi = LoadLibraryA("Psapi.dll");
  ASSERT_NE(nullptr, psapi);
  const auto memoryInfo = reinterpret_cast<MemoryInfo>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
  ASSERT_NE(nullptr, memoryInfo);
  HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  ASSERT_NE(nullptr, self);
  PROCESS_MEMORY_COUNTERS_EX counters{};
  ASSERT_TRUE(memoryInfo(self, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof counters));
  EXPECT_GT(counters.WorkingSetSize, 0u);
  EXPECT_GE(counters.PeakWorkingSetSize, counters.WorkingSetSize);
  if (!WineDiffers("GetProcessMemoryInfo fills only the basic record")) {
    EXPECT_EQ(sizeof counters, counters.cb);
    EXPECT_GT(counters.PrivateUsage, 0u);
  }
#ifndef _WIN32
  // The private figure is the kernel's account of the process's data and stack.
  const std::string status = ReadHostFile("/proc/self/status");
  const auto kb = [&status](const char* name) {
    const size_t at = status.find(std::string(name) + ":");
    return std::strtoull(status.c_str() + at + std::strlen(name) + 1, nullptr, 10) * 1024;
  };
  EXPECT_NEAR(static_cast<double>(kb("VmData") + kb("VmStk")), static_cast<double>(counters.PrivateUsage),
              0.05 * static_cast<double>(counters.PrivateUsage));
#endif
  // The shorter record is filled without its private figure.
  PROCESS_MEMORY_COUNTERS shorter{};
  ASSERT_TRUE(memoryInfo(self, &shorter, sizeof shorter));
  EXPECT_EQ(sizeof shorter, shorter.cb);
  EXPECT_FALSE(memoryInfo(self, &shorter, sizeof shorter - 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  CloseHandle(self);
  FreeLibrary(psapi);
}

}  // namespace
}  // namespace kvtr::test
