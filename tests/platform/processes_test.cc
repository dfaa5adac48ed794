// Processes: handles of the current process and their access, and ids of
// other processes.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(Processes, OwnIdOpensHandlesWithTheirAccessOtherIdsNothing) {
#ifdef _WIN32
  EXPECT_EQ(static_cast<DWORD>(_getpid()), GetCurrentProcessId());
#else
  EXPECT_EQ(static_cast<DWORD>(getpid()), GetCurrentProcessId());
#endif
  SetLastError(kSentinel);
  HANDLE all = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  EXPECT_EQ(kSentinel, GetLastError());
  ASSERT_NE(nullptr, all);
  ASSERT_NE(nullptr, query);
  EXPECT_NE(all, query);
  EXPECT_NE(GetCurrentProcess(), all);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(all, 10));
  EXPECT_TRUE(CloseHandle(all));
  // The other handle lives on, and without SYNCHRONIZE it cannot wait.
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(query, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(CloseHandle(query));
  // 0 is the idle process; the others name no process (to the host's
  // kill() the top ones would name process groups or every process).
  for (DWORD id : {0u, 0x7FFFFFF0u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(id);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, OpenProcess(PROCESS_ALL_ACCESS, FALSE, id));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
#ifndef _WIN32
  // POSIX only: the parent is a running process, which the layer does not open.
  EXPECT_EQ(nullptr, OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(getppid())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
#endif
}

}  // namespace
}  // namespace kvtr::test
