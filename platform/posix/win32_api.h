// Win32 functions implemented by the POSIX platform layer (libkvtr_platform).
//
// Each declaration is the SDK's own: same name, parameters, results and
// GetLastError behaviour. The layer is a shared library of its own with C
// linkage, so a host program and libkvtr.so work on one emulated machine.
// Only the subset the library, its host and its tests call is here.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "win32_types.h"

#if defined(KVTR_PLATFORM_BUILD)
#define KVTR_PLATFORM_API __attribute__((visibility("default")))
#else
#define KVTR_PLATFORM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- last error, error texts, local memory ----
KVTR_PLATFORM_API DWORD GetLastError(void);
KVTR_PLATFORM_API void SetLastError(DWORD code);
KVTR_PLATFORM_API DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                       LPWSTR buffer, DWORD size, va_list* arguments);
KVTR_PLATFORM_API DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                       LPSTR buffer, DWORD size, va_list* arguments);
KVTR_PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
KVTR_PLATFORM_API HLOCAL LocalFree(HLOCAL memory);

// ---- code pages ----
KVTR_PLATFORM_API UINT GetACP(void);
KVTR_PLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes,
                                          LPWSTR dest, int destChars);
KVTR_PLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars,
                                          LPSTR dest, int destBytes, LPCSTR defaultChar,
                                          LPBOOL usedDefaultChar);

KVTR_PLATFORM_API BOOL IsValidCodePage(UINT codePage);
KVTR_PLATFORM_API DWORD CharUpperBuffW(LPWSTR text, DWORD length);
KVTR_PLATFORM_API BOOL IsTextUnicode(const VOID* buffer, int size, LPINT result);

// ---- memory checks ----
KVTR_PLATFORM_API BOOL IsBadReadPtr(const void* address, UINT_PTR bytes);
KVTR_PLATFORM_API BOOL IsBadWritePtr(LPVOID address, UINT_PTR bytes);
KVTR_PLATFORM_API BOOL IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars);
KVTR_PLATFORM_API BOOL IsBadStringPtrW(LPCWSTR text, UINT_PTR maxChars);
KVTR_PLATFORM_API SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer, SIZE_T length);

// ---- processor faults ----
// The one function without an SDK counterpart: Windows code catches a
// processor fault with structured exception handling, which mingw lacks, so
// the library's guarded region (built there from a vectored exception
// handler) runs on the layer's fault guard here. Calls body(context); FALSE
// when a processor fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) ended it. The body
// must not throw.
KVTR_PLATFORM_API BOOL KvtrRunGuarded(void (*body)(void*), void* context);

// ---- file listing, folders, file times ----
KVTR_PLATFORM_API HANDLE FindFirstFileW(LPCWSTR mask, LPWIN32_FIND_DATAW data);
KVTR_PLATFORM_API BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
KVTR_PLATFORM_API BOOL FindClose(HANDLE find);
KVTR_PLATFORM_API BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
KVTR_PLATFORM_API BOOL RemoveDirectoryW(LPCWSTR path);
KVTR_PLATFORM_API HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile);
KVTR_PLATFORM_API BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);
KVTR_PLATFORM_API BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                                   const FILETIME* lastWrite);

// ---- event log ----
KVTR_PLATFORM_API HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
KVTR_PLATFORM_API BOOL DeregisterEventSource(HANDLE eventLog);
KVTR_PLATFORM_API BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                                    WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

// ---- host file names ----
// The second function without an SDK counterpart: C++ file streams open
// host paths, so code that opens a stream on a Windows path asks the layer
// for the host path it maps to (platform/file_streams.h). Returns the
// length written (without the terminator), or the size needed when it
// exceeds `size`; 0 for a null or empty path.
KVTR_PLATFORM_API DWORD KvtrHostFileName(LPCWSTR path, LPSTR buffer, DWORD size);

// ---- C runtime file calls on wide paths ----
// As the Windows C runtime: a null result or -1 with errno set.
KVTR_PLATFORM_API FILE* _wfopen(const WCHAR* path, const WCHAR* mode);
KVTR_PLATFORM_API int _wmkdir(const WCHAR* path);

// ---- secure zeroing ----
// Fills `bytes` bytes at `address` with zeros in a way the optimiser cannot
// drop (a wipe before release); returns `address`. Never fails. On Windows
// it is the SDK's inline function.
KVTR_PLATFORM_API PVOID SecureZeroMemory(PVOID address, SIZE_T bytes);

// ---- modules, files, environment ----
KVTR_PLATFORM_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
KVTR_PLATFORM_API HMODULE GetModuleHandleW(LPCWSTR moduleName);
// The module `name` names (a module name, NULL: the executable) or, with
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, the module whose mapping holds
// the address `name` is; takes a reference unless UNCHANGED_REFCOUNT (PIN:
// the module stays until the process ends). FALSE with ERROR_MOD_NOT_FOUND
// and *module NULL when there is none.
KVTR_PLATFORM_API BOOL GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module);
KVTR_PLATFORM_API DWORD GetFileAttributesA(LPCSTR path);
KVTR_PLATFORM_API DWORD GetFileAttributesW(LPCWSTR path);
KVTR_PLATFORM_API BOOL DeleteFileA(LPCSTR path);
KVTR_PLATFORM_API BOOL DeleteFileW(LPCWSTR path);
KVTR_PLATFORM_API DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size);
KVTR_PLATFORM_API DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size);
KVTR_PLATFORM_API DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart);
KVTR_PLATFORM_API DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer);
KVTR_PLATFORM_API BOOL SetCurrentDirectoryW(LPCWSTR path);

// ---- version resources (read from PE files) ----
KVTR_PLATFORM_API DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle);
KVTR_PLATFORM_API BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
KVTR_PLATFORM_API BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, UINT* length);

// ---- registry ----
KVTR_PLATFORM_API LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
KVTR_PLATFORM_API LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
KVTR_PLATFORM_API LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                                       REGSAM access, const SECURITY_ATTRIBUTES* security, PHKEY result,
                                       LPDWORD disposition);
KVTR_PLATFORM_API LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                       DWORD options, REGSAM access, const SECURITY_ATTRIBUTES* security,
                                       PHKEY result, LPDWORD disposition);
KVTR_PLATFORM_API LONG RegCloseKey(HKEY key);
KVTR_PLATFORM_API LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
KVTR_PLATFORM_API LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
KVTR_PLATFORM_API LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
KVTR_PLATFORM_API LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);
KVTR_PLATFORM_API LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
KVTR_PLATFORM_API LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize);
KVTR_PLATFORM_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                                     LPDWORD type, LPBYTE data, LPDWORD dataSize);
KVTR_PLATFORM_API LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                                     LPDWORD type, LPBYTE data, LPDWORD dataSize);
KVTR_PLATFORM_API LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                                        LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                        LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                        LPDWORD securityDescriptor, PFILETIME lastWriteTime);
KVTR_PLATFORM_API LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                                        LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                        LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                        LPDWORD securityDescriptor, PFILETIME lastWriteTime);
KVTR_PLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize);
KVTR_PLATFORM_API LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize);
KVTR_PLATFORM_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                      DWORD dataSize);
KVTR_PLATFORM_API LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                      DWORD dataSize);

// ---- modules, environment, debugger output, structured exceptions ----
// The system DLLs the library asks for (kernel32, advapi32, psapi, version,
// ole32, ws2_32; with or without ".dll", any case) are this layer itself;
// FreeLibrary never unloads them. Any other name is a host shared library,
// found by its Windows path or by the loader's search. A missing library is
// ERROR_MOD_NOT_FOUND, a missing export ERROR_PROC_NOT_FOUND; a handle that
// is no module fails with ERROR_MOD_NOT_FOUND and is never dereferenced.
KVTR_PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName);
KVTR_PLATFORM_API HMODULE LoadLibraryW(LPCWSTR fileName);
KVTR_PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
KVTR_PLATFORM_API BOOL FreeLibrary(HMODULE module);
// Cut to size - 1 bytes and a terminator when too small: returns size with
// ERROR_INSUFFICIENT_BUFFER. On success the last error is ERROR_SUCCESS.
KVTR_PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
// Too small a buffer (in bytes): the size needed with the terminator, and
// the buffer is left as it was.
KVTR_PLATFORM_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
// Names match without regard to case. Unset: 0 and ERROR_ENVVAR_NOT_FOUND.
// Too small a buffer: the size needed with the terminator, buffer untouched.
// An empty value: 0 with the last error unchanged.
KVTR_PLATFORM_API DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
KVTR_PLATFORM_API DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// Appends the text, as given, to $KVTR_DEBUG_OUTPUT, else to
// debug-output.log in the prefix, in one write: lines of several threads and
// processes never interleave. Never fails visibly; keeps the last error.
KVTR_PLATFORM_API void OutputDebugStringA(LPCSTR text);
// Stores the process's top-level filter and returns the previous one. The
// layer never calls the filter and installs no handler for it: the fault
// guard is the only owner of the fault signals.
KVTR_PLATFORM_API LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);
// KvtrRunGuarded that also describes the fault: when one ends the body and
// `fault` is not NULL, it receives the fault's Windows exception code
// (EXCEPTION_ACCESS_VIOLATION for SIGSEGV, EXCEPTION_ILLEGAL_INSTRUCTION for
// SIGILL, EXCEPTION_INT_DIVIDE_BY_ZERO for an integer SIGFPE, ...), with no
// address or parameters. Left untouched when the body returns.
KVTR_PLATFORM_API BOOL KvtrRunGuardedEx(void (*body)(void*), void* context, EXCEPTION_RECORD* fault);

// ---- kernel objects: handles, waits, processes ----
// One table holds every kernel object handle (events, threads, processes).
// GetCurrentProcess() is (HANDLE)-1 and GetCurrentThread() (HANDLE)-2, as
// on Windows: they need no closing, and closing them does nothing.
// CloseHandle: FALSE with ERROR_INVALID_HANDLE for NULL, unknown and closed handles.
KVTR_PLATFORM_API BOOL CloseHandle(HANDLE object);
// WAIT_OBJECT_0 once the object is signalled, WAIT_TIMEOUT (258) when the
// time ran out first (INFINITE: never), WAIT_FAILED with the last error set
// (ERROR_INVALID_HANDLE; ERROR_ACCESS_DENIED without SYNCHRONIZE access).
KVTR_PLATFORM_API DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
KVTR_PLATFORM_API HANDLE GetCurrentProcess(void);
KVTR_PLATFORM_API DWORD GetCurrentProcessId(void);
// A handle with `access` to the current process. NULL with
// ERROR_INVALID_PARAMETER when no process has that id, and with
// ERROR_ACCESS_DENIED for any other process: the layer opens no other.
KVTR_PLATFORM_API HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);

// ---- threads ----
// The C runtime's thread start: the handle as a number, or 0 with errno set
// (and the last error). CREATE_SUSPENDED holds the body until ResumeThread.
KVTR_PLATFORM_API uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                           unsigned(__stdcall* start)(void*), void* argument,
                                           unsigned initFlags, unsigned* threadId);
// The previous suspend count; (DWORD)-1 with the last error on failure.
KVTR_PLATFORM_API DWORD ResumeThread(HANDLE thread);
// THREAD_PRIORITY_IDLE, _LOWEST .. _HIGHEST, _TIME_CRITICAL; any other value
// fails with ERROR_INVALID_PARAMETER. The priority is recorded and answered
// by GetThreadPriority (THREAD_PRIORITY_ERROR_RETURN on failure); it does
// not change the host's scheduling.
KVTR_PLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority);
KVTR_PLATFORM_API int GetThreadPriority(HANDLE thread);
KVTR_PLATFORM_API HANDLE GetCurrentThread(void);
// Never 0, stable for the thread's life, distinct among live threads.
KVTR_PLATFORM_API DWORD GetCurrentThreadId(void);
// STILL_ACTIVE (259) while the thread runs, then what its body returned.
// On failure FALSE and the out-value is untouched.
KVTR_PLATFORM_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// ---- synchronisation ----
// Unnamed events only: a name other than "" fails with ERROR_NOT_SUPPORTED.
KVTR_PLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                                      LPCSTR name);
KVTR_PLATFORM_API BOOL SetEvent(HANDLE event);
KVTR_PLATFORM_API BOOL ResetEvent(HANDLE event);
// Recursive: the owner may enter again and leaves as often as it entered.
KVTR_PLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
KVTR_PLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION section);
KVTR_PLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
KVTR_PLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION section);
KVTR_PLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---- time ----
// Milliseconds since the machine started, wrapping at 32 bits.
KVTR_PLATFORM_API DWORD GetTickCount(void);
KVTR_PLATFORM_API void GetLocalTime(LPSYSTEMTIME time);

// ---- tokens, accounts ----
// The token of a process handle opened with PROCESS_QUERY_INFORMATION (the
// layer opens only the current process); the token's user is the process's
// effective host user. FALSE with ERROR_INVALID_HANDLE for a handle that is
// not a process, ERROR_ACCESS_DENIED without query access; *token is then
// untouched.
KVTR_PLATFORM_API BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// TokenUser only (needs TOKEN_QUERY): a TOKEN_USER followed by its SID.
// *returnLength always receives the size needed; a smaller buffer gives
// ERROR_INSUFFICIENT_BUFFER and is left untouched. Other known classes give
// ERROR_NOT_SUPPORTED, unknown ones ERROR_INVALID_PARAMETER.
KVTR_PLATFORM_API BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                           DWORD infoLength, LPDWORD returnLength);
KVTR_PLATFORM_API BOOL IsValidSid(PSID sid);
// 8 + 4 bytes a sub-authority; unspecified for an invalid SID, as on Windows.
KVTR_PLATFORM_API DWORD GetLengthSid(PSID sid);
// The account of a SID of this machine's users (systemName NULL or empty):
// the host user's name, the computer name as domain, SidTypeUser. Sizes
// are in characters: on success without the terminator; when either buffer
// is too small ERROR_INSUFFICIENT_BUFFER with both sizes set to what is
// needed with it, and the buffers untouched. ERROR_NONE_MAPPED for a SID of
// no user, ERROR_INVALID_SID for a malformed one.
KVTR_PLATFORM_API BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                                         LPWSTR domain, LPDWORD domainSize, PSID_NAME_USE use);
// The effective host user's name. *size in characters with the terminator,
// on success and (as the size needed) with ERROR_INSUFFICIENT_BUFFER.
KVTR_PLATFORM_API BOOL GetUserNameW(LPWSTR buffer, LPDWORD size);

// ---- tool-help snapshots ----
// A snapshot of the host's running processes (with TH32CS_SNAPPROCESS;
// heap, thread and module lists are accepted and left empty). Other flag
// bits give INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER.
KVTR_PLATFORM_API HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
// The first / next process of the snapshot. FALSE with ERROR_BAD_LENGTH when
// entry->dwSize is below sizeof(PROCESSENTRY32W), ERROR_NO_MORE_FILES past
// the last, ERROR_INVALID_HANDLE for a handle that is not a snapshot.
KVTR_PLATFORM_API BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
KVTR_PLATFORM_API BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);

// ---- system facts: computer name, version, processor, memory, disk ----
// The host's name (gethostname): the DNS forms as the host gives them, the
// NetBIOS forms upper-cased and cut to 15 characters. *size is in WCHARs:
// on success the length without the terminator; too small a buffer gives
// FALSE, ERROR_MORE_DATA and the size needed with the terminator, the
// buffer untouched. An unknown format or a NULL size: ERROR_INVALID_PARAMETER.
KVTR_PLATFORM_API BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size);
// The running kernel's version as Windows NT's (platform 2). A size field
// that is neither OSVERSIONINFOA's nor OSVERSIONINFOEXA's: FALSE with
// ERROR_INSUFFICIENT_BUFFER and the record untouched.
KVTR_PLATFORM_API BOOL GetVersionExA(LPOSVERSIONINFOA info);
// Never fails.
KVTR_PLATFORM_API void GetSystemInfo(LPSYSTEM_INFO info);
// dwLength must be sizeof(MEMORYSTATUSEX), else FALSE with
// ERROR_INVALID_PARAMETER and the record untouched.
KVTR_PLATFORM_API BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status);
// Sets dwLength itself; sizes beyond SIZE_T are saturated at its maximum.
KVTR_PLATFORM_API void GlobalMemoryStatus(LPMEMORYSTATUS status);
// For the volume holding `directory` (NULL: the current drive's root). A
// missing path gives ERROR_PATH_NOT_FOUND or ERROR_FILE_NOT_FOUND as for
// files; on failure the out-values are untouched. Any out-pointer may be NULL.
KVTR_PLATFORM_API BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller,
                                           PULARGE_INTEGER totalBytes, PULARGE_INTEGER totalFree);
// The same in clusters. Clusters are counted in sizes that let both counts
// fit 32 bits (sectors per cluster doubled as needed), so the products stay exact.
KVTR_PLATFORM_API BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                                         LPDWORD freeClusters, LPDWORD totalClusters);


// ---- process memory (psapi) ----
// Reached as Windows code reaches it: LoadLibraryA("Psapi.dll") and
// GetProcAddress. The current process only, opened with
// PROCESS_QUERY_INFORMATION or PROCESS_QUERY_LIMITED_INFORMATION and
// PROCESS_VM_READ (ERROR_ACCESS_DENIED otherwise). cb must hold at least
// PROCESS_MEMORY_COUNTERS (ERROR_INSUFFICIENT_BUFFER); PrivateUsage is
// filled when it holds PROCESS_MEMORY_COUNTERS_EX.
KVTR_PLATFORM_API BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb);

// ---- Winsock (the subset the library uses) ----
// WSAStartup accepts versions 1.0 to 2.2 (a higher one is answered with
// 2.2; below 1.0 WSAVERNOTSUPPORTED); it returns the error instead of
// setting it. Every other call before a successful WSAStartup, or after
// the matching WSACleanup, fails with WSANOTINITIALISED. The Winsock error
// is the thread's last error, as on Windows.
KVTR_PLATFORM_API int WSAStartup(WORD version, LPWSADATA data);
KVTR_PLATFORM_API int WSACleanup(void);
KVTR_PLATFORM_API int WSAGetLastError(void);
KVTR_PLATFORM_API void WSASetLastError(int error);

#ifdef __cplusplus
}
#endif

