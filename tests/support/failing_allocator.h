// Allocation failure on demand: the test program replaces the global
// operator new, and a test arms it to fail the nth allocation made from
// now on by the arming thread (std::bad_alloc; null for the nothrow forms).
// Other threads are neither counted nor failed.
#pragma once

#include <cstdint>

namespace kvtr::test {

// The nth allocation of this thread from now fails; 0 disarms.
void FailAllocation(uint64_t nth);
// Allocations this thread has made since the program started.
uint64_t AllocationCount();
// True once the armed failure has happened (and the arm is spent).
bool AllocationFailed();

}  // namespace kvtr::test
