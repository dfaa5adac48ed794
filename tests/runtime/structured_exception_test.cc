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

void ReadUnmapped() { (void)*static_cast<volatile int*>(test::MemoryPages::Unmapped()); }

// The same fault on threads: an inaccessible page kept for the whole
// program, since a range that was unmapped can be mapped again by another
// thread's allocation before it is read.
void ReadInaccessible() {
  static const test::MemoryPages inaccessible(test::MemoryPages::Access::kNone);
  (void)*reinterpret_cast<volatile const int*>(inaccessible.first());
}

// The faults in machine code, so that no compiler or sanitizer check stands
// in front of them.
void ExecuteIllegalInstruction() { __asm__ volatile("ud2"); }
void DivideByZero() {
  int quotient = 1;
  const int divisor = 0;
  __asm__ volatile("cltd\n\tidivl %1" : "+a"(quotient) : "r"(divisor) : "edx", "cc");
}

// The code of the StructuredException `entry` ends with; 0 when it returns.
DWORD CodeOf(void (*entry)()) {
  try {
    TranslateFaults(entry);
  } catch (const StructuredException& e) {
    return e.code();
  }
  return 0;
}

TEST(StructuredException, AFaultIsThrownWithItsWindowsCodeAndRecord) {
  struct Fault {
    void (*raise)();
    DWORD code;
  };
  for (const Fault& f : {Fault{ReadUnmapped, EXCEPTION_ACCESS_VIOLATION},
                         Fault{ExecuteIllegalInstruction, EXCEPTION_ILLEGAL_INSTRUCTION},
                         Fault{DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO}}) {
    SCOPED_TRACE(f.code);
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
      const EXCEPTION_RECORD* record = e.pointers()->ExceptionRecord;
      ASSERT_NE(nullptr, record);
      EXPECT_EQ(f.code, record->ExceptionCode);
      EXPECT_EQ(nullptr, record->ExceptionRecord);
      EXPECT_EQ(nullptr, e.pointers()->ContextRecord);
#ifdef _WIN32
      // The system's own record: a read of the unmapped address.
      if (f.code == EXCEPTION_ACCESS_VIOLATION) {
        ASSERT_EQ(2u, record->NumberParameters);
        EXPECT_EQ(0u, record->ExceptionInformation[0]);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(test::MemoryPages::Unmapped()), record->ExceptionInformation[1]);
      }
#endif
    }
    EXPECT_FALSE(reachedTheEnd);
  }
  EXPECT_THROW(TranslateFaults([] { throw std::runtime_error("through"); }), std::runtime_error);
}

// As the logger's worker does: each entry under its own translation, the
// worker going on after a faulting one, each thread with its own records.
TEST(StructuredException, AWorkerGoesOnAfterEachFaultingEntry) {
  const std::vector<void (*)()> entries = {[] {}, ReadInaccessible, [] {}, DivideByZero, ExecuteIllegalInstruction,
                                           ReadInaccessible};
  const std::vector<DWORD> codes = {0, EXCEPTION_ACCESS_VIOLATION, 0, EXCEPTION_INT_DIVIDE_BY_ZERO,
                                    EXCEPTION_ILLEGAL_INSTRUCTION, EXCEPTION_ACCESS_VIOLATION};
  constexpr int kWorkers = 4;
  CodeOf(ReadInaccessible);  // makes the page before the workers start
  std::vector<int> wrong(kWorkers, 0);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      // Rotated per worker, so that the threads fault differently at once.
      for (size_t i = 0; i < 25 * entries.size(); ++i) {
        const size_t entry = (i + static_cast<size_t>(w)) % entries.size();
        if (CodeOf(entries[entry]) != codes[entry]) ++wrong[w];
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(std::vector<int>(kWorkers, 0), wrong);
}

LONG WINAPI RegisteredFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI LibrarysFilter(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

class CrashSupport : public ::testing::Test {
 protected:
  void TearDown() override {
    g_registeredCrashHandler.store(nullptr);
    SetUnhandledExceptionFilter(original_);
  }
  // Stands for a library that installs a filter of its own as it loads.
  const LPTOP_LEVEL_EXCEPTION_FILTER original_ = SetUnhandledExceptionFilter(LibrarysFilter);
};

TEST_F(CrashSupport, ALoadPutsTheRegisteredFilterBackAndOnlyThen) {
  ASSERT_EQ(nullptr, g_registeredCrashHandler.load()) << "nothing in the library registers a handler";
  FreeLibrary(LoadLibraryKeepingFilter("kernel32.dll"));
  EXPECT_EQ(&LibrarysFilter, SetUnhandledExceptionFilter(LibrarysFilter));

  CrashHandler handler;
  handler.filter = RegisteredFilter;
  g_registeredCrashHandler.store(&handler);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, LoadLibraryKeepingFilter("kvtr-no-such-library.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(&LibrarysFilter, SetUnhandledExceptionFilter(LibrarysFilter));
  const HMODULE psapi = LoadLibraryKeepingFilter("Psapi.dll");
  ASSERT_NE(nullptr, psapi);
  FreeLibrary(psapi);
  EXPECT_EQ(&RegisteredFilter, SetUnhandledExceptionFilter(LibrarysFilter));
}

}  // namespace
}  // namespace kvtr::runtime
