// Released memory as the allocator saw it: the test program replaces the
// global operator new and delete, and while a thread records, every block
// that thread releases is copied (bytes and address) just before it goes
// back to the C library. Freed memory itself is never read.
#pragma once

#include <cstddef>

namespace kvtr::test {

struct ReleasedBlock {
  const void* address;
  size_t size;                 // bytes the block was asked for
  const unsigned char* bytes;  // its contents at release
};

// Starts recording this thread's releases afresh (earlier records are
// dropped) / stops it. Blocks beyond the recorder's capacity are counted
// as overflow and not kept.
void StartRecordingReleases();
void StopRecordingReleases();
size_t ReleasedBlockCount();
ReleasedBlock ReleasedBlockAt(size_t index);
bool RecordingOverflowed();

}  // namespace kvtr::test
