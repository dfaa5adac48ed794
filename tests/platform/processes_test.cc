// Processes: the current process's id and handles, and ids of no process.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

DWORD HostProcessId() {
#ifdef _WIN32
  return static_cast<DWORD>(_getpid());
#else
  return static_cast<DWORD>(getpid());
#endif
}

TEST(Processes, OwnIdOpensHandlesOfTheirOwn) {
  EXPECT_EQ(HostProcessId(), GetCurrentProcessId());
  SetLastError(kSentinel);
  HANDLE first = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
  HANDLE second = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
  EXPECT_EQ(kSentinel, GetLastError());
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_NE(GetCurrentProcess(), first);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(first, 0));
  EXPECT_TRUE(CloseHandle(first));
  // Closing one handle leaves the other (and the object) alone.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(second, 10));
  EXPECT_TRUE(CloseHandle(second));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(second));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Processes, WaitingNeedsSynchronizeAccess) {
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  ASSERT_NE(nullptr, query);
  SetLastError(kSentinel);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(query, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(CloseHandle(query));
}

// 0 is the idle process; the others name no running process (on the host,
// the top ones would name process groups or every process to kill()).
TEST(Processes, IdsOfNoRunningProcessAreInvalidParameters) {
  for (DWORD id : {0u, 0x7FFFFFF0u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(id);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, OpenProcess(PROCESS_ALL_ACCESS, FALSE, id));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

#ifndef _WIN32
// Another process (POSIX only: a forked child, which the Windows build
// cannot make with the calls under test) is signalled when it ends, and
// its id names nothing once it is gone.
TEST(Processes, AnotherProcessIsSignalledWhenItEnds) {
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    close(pipeEnds[1]);
    char byte;
    _exit(read(pipeEnds[0], &byte, 1) == 0 ? 0 : 1);
  }
  close(pipeEnds[0]);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child));
  EXPECT_NE(nullptr, process);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process, 30));
  close(pipeEnds[1]);  // the child reads the end of the pipe and exits
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 0));
  EXPECT_TRUE(CloseHandle(process));
  int status = -1;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(0, status);
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}
#endif

}  // namespace
}  // namespace kvtr::test
