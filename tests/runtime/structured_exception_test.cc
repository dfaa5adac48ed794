// Processor faults carried as StructuredException (Linux and under Wine),
// and the crash support's library load that keeps the registered filter.
#include "common_utils/runtime/structured_exception.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "common_utils/runtime/crash_support.h"
#include "platform/win32.h"
#include "support/memory_pages.h"

namespace kvtr::runtime {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

void ReadUnmapped() { (void)*static_cast<volatile int*>(test::MemoryPages::Unmapped()); }

// The faults themselves in machine code, so that no compiler or sanitizer
// check stands in front of them.
void ExecuteIllegalInstruction() { __asm__ volatile("ud2"); }

void DivideByZero() {
  int quotient = 1;
  const int divisor = 0;
  __asm__ volatile("cltd\n\tidivl %1" : "+a"(quotient) : "r"(divisor) : "edx", "cc");
}

struct Fault {
  const char* what;
  void (*raise)();
  DWORD code;
};

const Fault kFaults[] = {
    {"read of unmapped memory", ReadUnmapped, EXCEPTION_ACCESS_VIOLATION},
    {"illegal instruction", ExecuteIllegalInstruction, EXCEPTION_ILLEGAL_INSTRUCTION},
    {"integer division by zero", DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO},
};

// The code of the StructuredException `raise` ends with; 0 when it returns.
DWORD CodeOf(void (*raise)()) {
  try {
    TranslateFaults(raise);
  } catch (const StructuredException& e) {
    return e.code();
  }
  return 0;
}

TEST(StructuredException, AFaultIsThrownWithItsWindowsCode) {
  for (const Fault& f : kFaults) {
    SCOPED_TRACE(f.what);
    bool reachedTheEnd = false;
    try {
      TranslateFaults([&] {
        f.raise();
        reachedTheEnd = true;
      });
      ADD_FAILURE() << "nothing was thrown";
    } catch (const StructuredException& e) {
      EXPECT_EQ(f.code, e.code());
      ASSERT_NE(nullptr, e.pointers());
      ASSERT_NE(nullptr, e.pointers()->ExceptionRecord);
      EXPECT_EQ(f.code, e.pointers()->ExceptionRecord->ExceptionCode);
      EXPECT_EQ(nullptr, e.pointers()->ExceptionRecord->ExceptionRecord);
      EXPECT_EQ(nullptr, e.pointers()->ContextRecord);
    }
    EXPECT_FALSE(reachedTheEnd);
  }
}

#ifdef _WIN32
TEST(StructuredException, OnWindowsTheRecordIsTheSystemsOwn) {
  try {
    TranslateFaults(ReadUnmapped);
    FAIL() << "nothing was thrown";
  } catch (const StructuredException& e) {
    const EXCEPTION_RECORD& record = *e.pointers()->ExceptionRecord;
    ASSERT_EQ(2u, record.NumberParameters);
    EXPECT_EQ(0u, record.ExceptionInformation[0]);  // a read
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(test::MemoryPages::Unmapped()), record.ExceptionInformation[1]);
    EXPECT_NE(nullptr, record.ExceptionAddress);
  }
}
#endif

TEST(StructuredException, CompletedBodiesAndCppExceptionsPassThrough) {
  int steps = 0;
  TranslateFaults([&] { ++steps; });
  EXPECT_EQ(1, steps);
  EXPECT_THROW(TranslateFaults([] { throw std::runtime_error("through"); }), std::runtime_error);
  SetLastError(1234);
  TranslateFaults([] {});
  EXPECT_EQ(1234u, GetLastError());
}

// As the logger's worker does: every entry under its own translation, the
// worker going on after a faulting one, each thread with its own records.
TEST(StructuredException, AWorkerGoesOnAfterEachFaultingEntry) {
  const std::vector<void (*)()> entries = {
      [] {}, ReadUnmapped, [] {}, DivideByZero, ExecuteIllegalInstruction, [] {}, ReadUnmapped,
  };
  const std::vector<DWORD> expected = {
      0, EXCEPTION_ACCESS_VIOLATION, 0, EXCEPTION_INT_DIVIDE_BY_ZERO, EXCEPTION_ILLEGAL_INSTRUCTION, 0,
      EXCEPTION_ACCESS_VIOLATION,
  };
  constexpr int kWorkers = 4;
  std::vector<std::vector<DWORD>> seen(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int round = 0; round < 25; ++round) {
        for (size_t i = 0; i < entries.size(); ++i) {
          // Rotated per worker, so that the threads fault differently at once.
          const size_t entry = (i + static_cast<size_t>(w)) % entries.size();
          const DWORD code = CodeOf(entries[entry]);
          if (round == 0) seen[w].push_back(code);
          if (code != expected[entry]) seen[w].push_back(0xBAD);
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (int w = 0; w < kWorkers; ++w) {
    std::vector<DWORD> rotated;
    for (size_t i = 0; i < expected.size(); ++i) rotated.push_back(expected[(i + static_cast<size_t>(w)) % expected.size()]);
    EXPECT_EQ(rotated, seen[w]) << "worker " << w;
  }
}

LONG WINAPI RegisteredFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI LibrarysFilter(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

// Puts the process's filter back however the test ends.
class CrashSupport : public ::testing::Test {
 protected:
  void TearDown() override {
    g_registeredCrashHandler.store(nullptr);
    SetUnhandledExceptionFilter(original_);
  }
  // Stands for a library that installs a filter of its own when it loads.
  const LPTOP_LEVEL_EXCEPTION_FILTER original_ = SetUnhandledExceptionFilter(LibrarysFilter);
};

TEST_F(CrashSupport, ALoadPutsTheRegisteredFilterBackAndOnlyThen) {
  ASSERT_EQ(nullptr, g_registeredCrashHandler.load()) << "nothing in the library registers a handler";
  HMODULE module = LoadLibraryKeepingFilter("kernel32.dll");
  ASSERT_NE(nullptr, module);
  FreeLibrary(module);
  EXPECT_EQ(&LibrarysFilter, SetUnhandledExceptionFilter(LibrarysFilter));

  CrashHandler handler;
  handler.filter = RegisteredFilter;
  g_registeredCrashHandler.store(&handler);
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, LoadLibraryKeepingFilter("kvtr-no-such-library.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(&LibrarysFilter, SetUnhandledExceptionFilter(LibrarysFilter));

  module = LoadLibraryKeepingFilter("Psapi.dll");
  ASSERT_NE(nullptr, module);
  FreeLibrary(module);
  EXPECT_EQ(&RegisteredFilter, SetUnhandledExceptionFilter(LibrarysFilter));
}

}  // namespace
}  // namespace kvtr::runtime
