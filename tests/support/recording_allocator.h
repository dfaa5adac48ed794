// Released memory as the allocator saw it: the test program replaces the
// global operator new and delete, and while a thread records, each block
// that thread releases is copied just before it goes back to the C
// library. Freed memory itself is never read.
#pragma once

#include <cstddef>
#include <vector>

namespace kvtr::test {

struct ReleasedBlock {
  const void* address;
  size_t size;                 // bytes the block was asked for
  const unsigned char* bytes;  // its contents at release
};

// The blocks this thread released while `body` ran (at most 16 MiB of them
// are kept; the test fails beyond that).
template <typename Body>
std::vector<ReleasedBlock> ReleasesDuring(Body&& body);

void StartRecordingReleases();
std::vector<ReleasedBlock> StopRecordingReleases();

template <typename Body>
std::vector<ReleasedBlock> ReleasesDuring(Body&& body) {
  StartRecordingReleases();
  body();
  return StopRecordingReleases();
}

}  // namespace kvtr::test
