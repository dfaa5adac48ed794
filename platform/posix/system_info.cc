// POSIX platform layer: the machine's identity (GetComputerNameExW,
// GetVersionExA, GetSystemInfo), answered from the running host: its host
// name, its kernel's release and its processors. Nothing is invented or
// stored; each call asks the host again. Memory figures live in
// memory_status.cc, disk space in disk_space.cc. No product headers here.
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "layer.h"
#include "win32_api.h"

namespace {

constexpr DWORD kAllocationGranularity = 64 * 1024;  // Windows' on every architecture

// The host name split as Windows splits a DNS name: the first label is the
// host, the rest the domain.
struct HostName {
  std::string host;
  std::string domain;
};

bool ReadHostName(HostName& name) {
  char text[HOST_NAME_MAX + 1] = {};
  if (gethostname(text, sizeof text - 1) != 0) return false;
  const std::string full(text);
  const size_t dot = full.find('.');
  name.host = full.substr(0, dot);
  name.domain = dot == std::string::npos ? std::string() : full.substr(dot + 1);
  return true;
}

// The NetBIOS form: upper-cased and cut to MAX_COMPUTERNAME_LENGTH.
kvtr::WString NetBiosName(const std::string& host) {
  kvtr::WString name = kvtr::posix::Utf8ToUtf16(host);
  if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
  for (kvtr::wchar& c : name) c = kvtr::posix::FoldCase(c);
  return name;
}

// Major, minor and patch of a kernel release such as "6.8.0-45-generic";
// missing parts are 0.
void KernelVersion(DWORD& major, DWORD& minor, DWORD& patch) {
  major = minor = patch = 0;
  utsname host{};
  if (uname(&host) != 0) return;
  DWORD* parts[] = {&major, &minor, &patch};
  const char* at = host.release;
  for (DWORD* part : parts) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(at, &end, 10);
    if (end == at) break;
    *part = static_cast<DWORD>(value);
    if (*end != '.') break;
    at = end + 1;
  }
}

// "cpu family", "model" and "stepping" of the first processor in
// /proc/cpuinfo (x86 only; other hosts do not list them). False when absent.
bool ProcessorIdentity(unsigned& family, unsigned& model, unsigned& stepping) {
  kvtr::posix::UniqueStream info(std::fopen("/proc/cpuinfo", "re"));
  if (!info) return false;
  int found = 0;
  char line[512];
  while (found != 7 && std::fgets(line, sizeof line, info.get()) != nullptr) {
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr) {
      if (found != 0) break;  // the end of the first processor's block
      continue;
    }
    const std::string key(line, static_cast<size_t>(colon - line));
    const auto is = [&key](const char* name) { return key.compare(0, std::strlen(name), name) == 0 &&
                                                      key.find_first_not_of(" \t", std::strlen(name)) == std::string::npos; };
    const unsigned value = static_cast<unsigned>(std::strtoul(colon + 1, nullptr, 10));
    if (is("cpu family")) family = value, found |= 1;
    else if (is("model")) model = value, found |= 2;
    else if (is("stepping")) stepping = value, found |= 4;
  }
  return found == 7;
}

// The lowest address a mapping may take (vm.mmap_min_addr; 64 KiB, Windows'
// own value and Linux's usual one, when it cannot be read).
uintptr_t MinimumApplicationAddress() {
  uintptr_t minimum = 0x10000;
  kvtr::posix::UniqueStream setting(std::fopen("/proc/sys/vm/mmap_min_addr", "re"));
  unsigned long long value = 0;
  if (setting && std::fscanf(setting.get(), "%llu", &value) == 1 && value != 0) minimum = static_cast<uintptr_t>(value);
  return minimum;
}

// The highest user address: the top of the user half less its guard page.
uintptr_t MaximumApplicationAddress(uintptr_t pageSize) {
#if defined(__x86_64__)
  return (uintptr_t{1} << 47) - pageSize - 1;
#elif defined(__aarch64__)
  return (uintptr_t{1} << 48) - pageSize - 1;
#else
  (void)pageSize;
  return 0xBFFFFFFF;  // the 3 GiB user split of a 32-bit kernel
#endif
}

}  // namespace

namespace kvtr::posix {

// The process's address space as GetSystemInfo reports it; memory_status.cc
// measures the virtual memory figures against the same bounds.
void ApplicationAddressRange(uintptr_t& minimum, uintptr_t& maximum) {
  const long page = sysconf(_SC_PAGESIZE);
  minimum = MinimumApplicationAddress();
  maximum = MaximumApplicationAddress(static_cast<uintptr_t>(page > 0 ? page : 4096));
}

}  // namespace kvtr::posix

extern "C" {

BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size) try {
  if (size == nullptr || static_cast<unsigned>(format) >= ComputerNameMax) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HostName host;
  if (!ReadHostName(host)) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  kvtr::WString name;
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
      name = NetBiosName(host.host);
      break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
      name = kvtr::posix::Utf8ToUtf16(host.host);
      break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
      name = kvtr::posix::Utf8ToUtf16(host.domain);
      break;
    default:  // the fully qualified forms
      name = kvtr::posix::Utf8ToUtf16(host.domain.empty() ? host.host : host.host + "." + host.domain);
      break;
  }
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *size < needed) {
    if (buffer == nullptr && *size != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    *size = needed;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = 0;
  *size = needed - 1;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException(FALSE);
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) try {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD recordSize = info->dwOSVersionInfoSize;
  if (recordSize != sizeof(OSVERSIONINFOA) && recordSize != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  OSVERSIONINFOEXA version{};
  version.dwOSVersionInfoSize = recordSize;
  KernelVersion(version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
  version.dwPlatformId = VER_PLATFORM_WIN32_NT;
  // No service packs and no suites; a desktop machine, as the library's
  // host is a client rather than a server or domain controller.
  version.wProductType = VER_NT_WORKSTATION;
  std::memcpy(info, &version, recordSize);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException(FALSE);
}

void GetSystemInfo(LPSYSTEM_INFO info) try {
  if (info == nullptr) return;
  SYSTEM_INFO facts{};
#if defined(__x86_64__)
  facts.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  facts.dwProcessorType = PROCESSOR_AMD_X8664;
#elif defined(__i386__)
  facts.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  facts.dwProcessorType = PROCESSOR_INTEL_PENTIUM;
#elif defined(__aarch64__)
  facts.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
  facts.dwProcessorType = 0;
#else
  facts.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
  const long page = sysconf(_SC_PAGESIZE);
  facts.dwPageSize = static_cast<DWORD>(page > 0 ? page : 4096);
  uintptr_t minimum = 0;
  uintptr_t maximum = 0;
  kvtr::posix::ApplicationAddressRange(minimum, maximum);
  facts.lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(minimum);
  facts.lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(maximum);
  // One bit per online processor, as many as the mask can hold.
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  facts.dwNumberOfProcessors = static_cast<DWORD>(online > 0 ? online : 1);
  const unsigned maskBits = sizeof(DWORD_PTR) * CHAR_BIT;
  facts.dwActiveProcessorMask = facts.dwNumberOfProcessors >= maskBits
                                    ? ~DWORD_PTR{0}
                                    : (DWORD_PTR{1} << facts.dwNumberOfProcessors) - 1;
  facts.dwAllocationGranularity = kAllocationGranularity;
  // Level is the processor family, revision the model in the high byte and
  // the stepping in the low one, as Windows reports x86 processors.
  unsigned family = 0, model = 0, stepping = 0;
  if (ProcessorIdentity(family, model, stepping)) {
    facts.wProcessorLevel = static_cast<WORD>(family);
    facts.wProcessorRevision = static_cast<WORD>(((model & 0xFF) << 8) | (stepping & 0xFF));
  }
  *info = facts;
} catch (...) {
  // Out of memory while reading /proc: the record is left as it was.
}

}  // extern "C"
