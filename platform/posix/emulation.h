// Emulation control of the POSIX platform layer: the switches tests and the
// host use to shape the emulated machine. Product code never calls these.
#pragma once

#include "win32_types.h"

#if defined(KVTR_PLATFORM_BUILD)
#define KVTR_EMU_API __attribute__((visibility("default")))
#else
#define KVTR_EMU_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Makes `directory` the emulated machine (NULL: $KVTR_PREFIX, else the
// default $HOME/.kvtr). It is created when missing; state loaded from the
// previous prefix is dropped. Returns FALSE when it cannot be created.
KVTR_EMU_API BOOL KvtrEmu_UsePrefix(const char* directory);

// The emulated machine's directory (created on first use).
KVTR_EMU_API const char* KvtrEmu_Prefix(void);

// Ends every fault, access denial and override and selects the default code
// page; the registry is read again from the prefix.
KVTR_EMU_API void KvtrEmu_Reset(void);

// Selects the code page behind CP_ACP and CP_THREAD_ACP (65001, 1252, 28591
// or 20127). FALSE for any other.
KVTR_EMU_API BOOL KvtrEmu_SetAnsiCodePage(UINT codePage);

// Denies the given access rights (KEY_SET_VALUE, KEY_CREATE_SUB_KEY, DELETE,
// KEY_QUERY_VALUE, ...) on one key: an open or create asking for any of them
// fails with ERROR_ACCESS_DENIED, and so does deleting the key when DELETE
// is among them. 0 lifts the denial.
KVTR_EMU_API BOOL KvtrEmu_DenyKeyAccess(HKEY root, const char* path, DWORD deniedRights);

// Makes the nth call (1 = the next) of `service` fail with `status`. A
// service is one function ("RegSetValueExW") or a group: "registry",
// "files", "environment", "errors", "com", "codepages", "memory"; the
// layer's own writes of the registry file are "WriteRegistryFile" (group
// "persistence"). The failing call returns the status, or sets it as the
// last error and returns the function's failure value. Only the calls of
// the thread that arms the fault count towards `nth` and only that thread's
// call fails, so other threads' calls of the same service can neither use
// the fault up nor be hit by it.
KVTR_EMU_API void KvtrEmu_FailCall(const char* service, unsigned nth, DWORD status);

// Kills the process (SIGKILL) inside its nth write of a registry file from
// now on (1 = the next; snapshot, journal record or new journal, by any
// thread): the write puts down the first half of its bytes, then the
// process dies, as a crash between two writes of the system would leave
// it. 0, and KvtrEmu_Reset, disarm it.
KVTR_EMU_API void KvtrEmu_KillInWrite(unsigned nth);

// Calls of `service` (function or group) since the last reset, made by any
// thread of the process.
KVTR_EMU_API unsigned KvtrEmu_CallCount(const char* service);

// What GetModuleFileNameW(NULL, ...) answers; NULL restores the real path.
KVTR_EMU_API void KvtrEmu_SetModuleFileName(const WCHAR* path);

// The host file system path of a Windows path (drive paths map into the
// prefix). Returns the length written, or the size needed when it exceeds
// `size`.
KVTR_EMU_API size_t KvtrEmu_HostPath(const WCHAR* windowsPath, char* out, size_t size);

// The host path of the machine's event log: one record a line, UTF-8,
// "local time<TAB>source<TAB>type<TAB>0xID" and a <TAB> before each
// insertion string, with \\, \t, \r and \n standing for those characters.
KVTR_EMU_API const char* KvtrEmu_EventLogFile(void);

// Imports a .reg file (regedit 5.00 or REGEDIT4 text, UTF-8 or UTF-16LE)
// into the registry: keys are created, "[-KEY]" removes a tree and
// "name"=- a value. On failure returns FALSE and describes the first bad
// line in `error`.
KVTR_EMU_API BOOL KvtrEmu_ImportRegFile(const char* file, char* error, size_t errorSize);

// Writes the whole machine as a new registry snapshot and removes the
// journal of changes made since the last one (done by itself when the
// journal grows larger than the snapshot). FALSE when it cannot be
// written; the machine is then as it was.
KVTR_EMU_API BOOL KvtrEmu_CompactRegistry(void);

// Writes `key` (NULL or "": the whole root) below `root` and its subtree to
// a .reg file, or the whole machine when `root` is NULL.
KVTR_EMU_API BOOL KvtrEmu_ExportRegFile(const char* file, HKEY root, const char* key);

// ---- threads, synchronisation, time ----
// Fault injection groups of these services (for KvtrEmu_FailCall and
// KvtrEmu_CallCount): "threads" (_beginthreadex, ResumeThread,
// SetThreadPriority), "sync" (CreateEventA, SetEvent, ResetEvent,
// WaitForSingleObject) and "processes" (OpenProcess). A failing
// _beginthreadex returns 0 with the status as the last error and errno
// EAGAIN; a failing wait returns WAIT_FAILED. The other calls of these
// services cannot fail on Windows and are never failed.

// Adds `offsetMs` (modulo 2^32) to what GetTickCount answers, so a test can
// bring the count up to its wrap. 0, and KvtrEmu_Reset, end the offset.
KVTR_EMU_API void KvtrEmu_SetTickCountOffset(DWORD offsetMs);

// ---- system facts ----
// Makes GetProcAddress answer ERROR_PROC_NOT_FOUND for `name` in the system
// DLLs the layer stands for (kernel32, psapi, ...), as an older Windows
// that lacks the function does; FALSE for `hidden` shows it again.
// KvtrEmu_Reset shows every function.
KVTR_EMU_API void KvtrEmu_HideProcedure(const char* name, BOOL hidden);

// Makes the performance data's System Up Time report `seconds` (0 and
// negative values included); KvtrEmu_ClearSystemUpTime and KvtrEmu_Reset
// return to the host's real up time.
KVTR_EMU_API void KvtrEmu_SetSystemUpTime(LONGLONG seconds);
KVTR_EMU_API void KvtrEmu_ClearSystemUpTime(void);

#ifdef __cplusplus
}
#endif
