// Internal helpers shared by the files of the POSIX platform layer. Nothing
// here is exported; product code never includes this header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../unique_handle.h"
#include "../wide.h"
#include "win32_api.h"

namespace kvtr::posix {

// Owners of the host's handles the layer opens: descriptors, directory
// listings and C streams. Closing keeps errno.
struct DescriptorTraits {
  using Handle = int;
  static constexpr int Invalid() noexcept { return -1; }
  static void Close(int fd) noexcept;
};
using UniqueFd = UniqueHandle<DescriptorTraits>;

struct DirectoryTraits {
  using Handle = struct __dirstream*;
  static constexpr Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle listing) noexcept;
};
using UniqueDir = UniqueHandle<DirectoryTraits>;

struct StreamTraits {
  using Handle = std::FILE*;
  static constexpr Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle stream) noexcept;
};
using UniqueStream = UniqueHandle<StreamTraits>;

// UTF-8 <-> UTF-16 for file system names and persisted text. Invalid input
// becomes U+FFFD; never fails.
std::string Utf16ToUtf8(WStringView text);
WString Utf8ToUtf16(std::string_view text);

// Upper-case folding of one UTF-16 unit for case-insensitive names
// (registry keys and values, environment variables, file names): Windows'
// table of the Basic Multilingual Plane (upcase.cc).
extern const wchar* const kUpcaseTable;
inline wchar FoldCase(wchar c) noexcept { return kUpcaseTable[c]; }
int CompareNoCase(WStringView a, WStringView b) noexcept;
inline bool EqualNoCase(WStringView a, WStringView b) noexcept { return CompareNoCase(a, b) == 0; }

// The process ANSI code page's conversions, used by every A-function.
WString AnsiToWide(const char* text);
std::string WideToAnsi(WStringView text);

// Fault injection: the status to return instead of performing this call of
// `api` (a member of `group`), or 0 to perform it. Counts every call.
DWORD InjectedFault(const char* api, const char* group);

// True for the write of a registry file that KvtrEmu_KillInWrite chose: the
// writer puts down half its bytes and calls DieMidWrite.
bool KillInThisWrite() noexcept;
[[noreturn]] void DieMidWrite() noexcept;

// Emulated machine directory (created on first use) and the host path of a
// Windows path, taken in its full form (FullPathName): "X:\a\b" maps to
// "<prefix>/drive_x/a/b" and "Z:\a\b" to "/a/b", with names matched without
// regard to case; UNC and device paths keep their text with "/" separators.
const std::string& PrefixDirectory();
std::string HostPath(WStringView windowsPath);

// The Windows path of a host path: inside the prefix's drive_x/ folder it is
// on drive X:, anywhere else on drive Z:. A relative host path is taken
// against the process's working directory.
WString WindowsPathOfHost(std::string_view hostPath);

// The full path of `path` by Windows' rules, as GetFullPathNameW gives it
// (relative paths against the current directory). On failure returns false
// with the Win32 code in `error`; `full` is then unspecified.
bool FullPathName(WStringView path, WString& full, DWORD& error);

// Called when the prefix changes so that services drop state loaded from it.
void RegistryForgetState();

// Parts of KvtrEmu_Reset owned by each service.
void RegistryResetControls();
void CodePagesResetControls();
void TimeResetControls();

// ---- the barrier of every C function of the layer ----
// No exception leaves the layer: each C function is a function-try-block
// whose handler answers with one of these, called from the handler. Memory
// running out gives what Windows gives then (ERROR_NOT_ENOUGH_MEMORY,
// E_OUTOFMEMORY); any other exception ERROR_INTERNAL_ERROR or E_UNEXPECTED.
LONG StatusOfException() noexcept;
HRESULT HresultOfException() noexcept;
// The same for a registry function: the tree may hold a change that was
// never saved, so it is dropped and read again from the file.
LONG RegistryStatusOfException() noexcept;
// For a function that reports failure through the last error.
template <typename Result>
Result FailWithException(Result failure) noexcept {
  SetLastError(static_cast<DWORD>(StatusOfException()));
  return failure;
}

// ---- the fault guard (memory_checks.cc), the one owner of the fault signals ----
// Runs body(context). False when a processor fault (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE raised by the processor on this thread) ended it: `signal` and
// `code` then hold the signal and its si_code. The body must not throw.
bool RunOnFaultGuard(void (*body)(void*), void* context, int& signal, int& code) noexcept;

// ---- modules and environment ----
// An environment variable, the name without regard to case; windir and
// SystemRoot fall back to C:\Windows. False when it is not set.
bool LookupVariable(WStringView name, WString& value);
void ModulesResetControls();

// errno of a failed file system call as a Windows error code.
DWORD ErrnoToWin32(int error, const std::string& hostPath);
// The Win32 attributes of a host file mode: folder or archive, read-only
// without the owner's write bit.
DWORD FileAttributesOf(unsigned mode);
// errno of a failed socket call as its WSAE error.
DWORD WinsockErrorOfErrno(int error);
// A getaddrinfo status as the Winsock error of a failed name lookup.
DWORD ResolverErrorToWinsock(int status);

// ---- system facts ----
// The lowest and highest address the process's mappings may take, as
// GetSystemInfo reports them (system_info.cc). Never fails.
void ApplicationAddressRange(uintptr_t& minimum, uintptr_t& maximum);


// The running processes of the host, in the order of their ids, as /proc
// lists them (toolhelp.cc). The name is the executable's file name as the
// host has it, or the command name where the executable cannot be read.
struct HostProcess {
  DWORD id = 0;
  DWORD parentId = 0;
  DWORD threads = 0;
  LONG priorityBase = 8;
  LONGLONG cpuClockTicks = 0;  // user and system time, in clock ticks
  WString exeFile;
};
std::vector<HostProcess> ReadHostProcesses();

// HKEY_PERFORMANCE_DATA's answer to RegQueryValueEx (performance_data.cc):
// `name` is "Global" or a blank-separated list of object indices.
LONG QueryPerformanceData(WStringView name, DWORD* type, BYTE* data, DWORD* size);
void PerformanceDataResetControls();

// The host's seconds since boot (CLOCK_BOOTTIME, as /proc/uptime counts).
double HostUpTimeSeconds();

// The volatile hardware keys below HKEY_LOCAL_MACHINE\HARDWARE, made from
// /proc/cpuinfo (read once per process) into a freshly loaded tree
// (hardware_keys.cc).
struct RegKey;
void AddHardwareKeys(const std::shared_ptr<RegKey>& localMachine);

}  // namespace kvtr::posix
