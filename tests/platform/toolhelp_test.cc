// Tool-help snapshots: the running processes as reached through
// kernel32's exports, this process among them with its id, parent, name
// and threads, the walk's end, and the entry size and handle checks.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#ifndef _WIN32
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

using SnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
using WalkFunction = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);

struct Toolhelp {
  SnapshotFunction snapshot = nullptr;
  WalkFunction first = nullptr;
  WalkFunction next = nullptr;
};

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

Toolhelp ToolhelpOf(HMODULE kernel32) {
  return {Export<SnapshotFunction>(kernel32, "CreateToolhelp32Snapshot"),
          Export<WalkFunction>(kernel32, "Process32FirstW"), Export<WalkFunction>(kernel32, "Process32NextW")};
}

std::vector<PROCESSENTRY32W> Processes(const Toolhelp& api, DWORD flags) {
  std::vector<PROCESSENTRY32W> processes;
  HANDLE snapshot = api.snapshot(flags, 0);
  EXPECT_NE(INVALID_HANDLE_VALUE, snapshot);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = api.first(snapshot, &entry); more; more = api.next(snapshot, &entry)) processes.push_back(entry);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_FALSE(api.next(snapshot, &entry));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(CloseHandle(snapshot));
  return processes;
}

const PROCESSENTRY32W* Find(const std::vector<PROCESSENTRY32W>& processes, DWORD id) {
  for (const PROCESSENTRY32W& p : processes) {
    if (p.th32ProcessID == id) return &p;
  }
  return nullptr;
}

WString OwnFileName() {
  WCHAR path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_GT(length, 0u);
  WString full(path, length);
  return full.substr(full.find_last_of(W("\\/")) + 1);
}

unsigned __stdcall WaitForEvent(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 0;
}

TEST(Toolhelp, ExportsFoundThroughKernel32ByHandleAndByLoad) {
  const Toolhelp byHandle = ToolhelpOf(GetModuleHandleW(W("kernel32.dll")));
  HMODULE loaded = LoadLibraryA("KERNEL32.DLL");
  ASSERT_NE(nullptr, loaded);
  const Toolhelp byLoad = ToolhelpOf(loaded);
  ASSERT_NE(nullptr, byHandle.snapshot);
  ASSERT_NE(nullptr, byHandle.first);
  ASSERT_NE(nullptr, byHandle.next);
  EXPECT_EQ(byHandle.snapshot, byLoad.snapshot);
  EXPECT_EQ(byHandle.first, byLoad.first);
  EXPECT_EQ(byHandle.next, byLoad.next);
  EXPECT_TRUE(FreeLibrary(loaded));
}

TEST(Toolhelp, SnapshotHoldsThisProcessWithItsNameParentAndThreads) {
  const Toolhelp api = ToolhelpOf(GetModuleHandleW(W("kernel32.dll")));
  ASSERT_NE(nullptr, api.snapshot);
  const std::vector<PROCESSENTRY32W> before = Processes(api, TH32CS_SNAPALL);
  std::set<DWORD> ids;
  for (const PROCESSENTRY32W& p : before) {
    EXPECT_TRUE(ids.insert(p.th32ProcessID).second) << "twice: " << p.th32ProcessID;
    EXPECT_EQ(sizeof(PROCESSENTRY32W), p.dwSize);
  }
  const PROCESSENTRY32W* self = Find(before, GetCurrentProcessId());
  ASSERT_NE(nullptr, self);
  EXPECT_EQ(OwnFileName(), WString(self->szExeFile));
  EXPECT_GE(self->cntThreads, 1u);
#ifndef _WIN32
  EXPECT_EQ(static_cast<DWORD>(getppid()), self->th32ParentProcessID);
  EXPECT_NE(nullptr, Find(before, self->th32ParentProcessID));
#endif

  // One more thread of this process shows in the next snapshot.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForEvent, event, 0, nullptr));
  ASSERT_NE(nullptr, thread);
  const std::vector<PROCESSENTRY32W> during = Processes(api, TH32CS_SNAPPROCESS);
  SetEvent(event);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  const PROCESSENTRY32W* again = Find(during, GetCurrentProcessId());
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(self->cntThreads + 1, again->cntThreads);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(event));
}

#ifndef _WIN32
// A host process may name itself anything, line feeds included: it is
// listed all the same. (Windows names processes by their files.)
TEST(Toolhelp, AProcessWhoseNameHoldsALineFeedIsListed) {
  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    prctl(PR_SET_NAME, "kvtr\nline)x");
    char byte = 0;
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    if (read(release[0], &byte, 1) < 0) _exit(1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  const PROCESSENTRY32W* listed = nullptr;
  const std::vector<PROCESSENTRY32W> processes = Processes(ToolhelpOf(GetModuleHandleW(W("kernel32.dll"))),
                                                           TH32CS_SNAPPROCESS);
  listed = Find(processes, static_cast<DWORD>(child));
  ASSERT_EQ(1, write(release[1], &byte, 1));
  waitpid(child, nullptr, 0);
  for (const int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  ASSERT_NE(nullptr, listed);
  EXPECT_EQ(OwnFileName(), WString(listed->szExeFile));
  EXPECT_EQ(GetCurrentProcessId(), listed->th32ParentProcessID);
}
#endif

TEST(Toolhelp, FirstRestartsTheWalk) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  PROCESSENTRY32W first{}, second{}, restarted{};
  first.dwSize = second.dwSize = restarted.dwSize = sizeof(PROCESSENTRY32W);
  ASSERT_TRUE(Process32FirstW(snapshot, &first));
  ASSERT_TRUE(Process32NextW(snapshot, &second));
  EXPECT_NE(first.th32ProcessID, second.th32ProcessID);
  ASSERT_TRUE(Process32FirstW(snapshot, &restarted));
  EXPECT_EQ(first.th32ProcessID, restarted.th32ProcessID);
  EXPECT_EQ(WString(first.szExeFile), WString(restarted.szExeFile));
  EXPECT_TRUE(CloseHandle(snapshot));
}

TEST(Toolhelp, ShortEntriesAndOtherHandlesAreRefused) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
  // 556 is the 32-bit record's size, short of the 64-bit one.
  const DWORD shortSizes[] = {0, 4, 556, static_cast<DWORD>(sizeof(PROCESSENTRY32W) - 1)};
  for (DWORD size : shortSizes) {
    if (size >= sizeof(PROCESSENTRY32W)) continue;
    SCOPED_TRACE(size);
    PROCESSENTRY32W entry;
    std::memset(&entry, 0xAB, sizeof entry);
    entry.dwSize = size;
    SetLastError(kSentinel);
    EXPECT_FALSE(Process32FirstW(snapshot, &entry));
    if (WineDiffers("Process32FirstW: a short record gives ERROR_INSUFFICIENT_BUFFER")) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());
    }
    EXPECT_EQ(0xABABABABu, entry.th32ProcessID);
    EXPECT_EQ(0xABABu, entry.szExeFile[0]);
  }
  // A larger record is taken.
  struct {
    PROCESSENTRY32W entry;
    BYTE extra[16];
  } larger{};
  larger.entry.dwSize = sizeof larger;
  EXPECT_TRUE(Process32FirstW(snapshot, &larger.entry));

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE other : {static_cast<HANDLE>(nullptr), event, closed}) {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    SetLastError(kSentinel);
    EXPECT_FALSE(Process32FirstW(other, &entry));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(Process32NextW(other, &entry));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(snapshot));
}

}  // namespace
}  // namespace kvtr::test
