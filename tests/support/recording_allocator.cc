// The replaced global allocation functions of a test program. Each block
// carries a header with its size, so that a release can copy it; copies go
// to a fixed arena, since a release must not allocate. libstdc++'s other
// plain forms (nothrow, sized) call these; the aligned forms keep their
// own allocation and are left alone.
#include "support/recording_allocator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace kvtr::test {
namespace {

struct alignas(alignof(std::max_align_t)) Header {
  size_t size;
};

struct Record {
  const void* address;
  size_t size;
  size_t offset;  // into the arena
};

constexpr size_t kMaxRecords = 1 << 14;
constexpr size_t kArenaBytes = 16 << 20;
Record g_records[kMaxRecords];
unsigned char g_arena[kArenaBytes];
size_t g_recordCount = 0;
size_t g_arenaUsed = 0;
bool g_overflowed = false;
thread_local bool t_recording = false;

}  // namespace

void StartRecordingReleases() {
  g_recordCount = g_arenaUsed = 0;
  g_overflowed = false;
  t_recording = true;
}

std::vector<ReleasedBlock> StopRecordingReleases() {
  t_recording = false;
  EXPECT_FALSE(g_overflowed) << "more releases than the recorder keeps";
  std::vector<ReleasedBlock> blocks;
  for (size_t i = 0; i < g_recordCount; ++i) {
    blocks.push_back({g_records[i].address, g_records[i].size, g_arena + g_records[i].offset});
  }
  return blocks;
}

}  // namespace kvtr::test

using namespace kvtr::test;

void* operator new(std::size_t bytes) {
  auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
  if (header == nullptr) throw std::bad_alloc();
  header->size = bytes;
  return header + 1;
}

void operator delete(void* memory) noexcept {
  if (memory == nullptr) return;
  Header* header = static_cast<Header*>(memory) - 1;
  if (t_recording) {
    if (g_recordCount < kMaxRecords && header->size <= kArenaBytes - g_arenaUsed) {
      std::memcpy(g_arena + g_arenaUsed, memory, header->size);
      g_records[g_recordCount++] = Record{memory, header->size, g_arenaUsed};
      g_arenaUsed += header->size;
    } else {
      g_overflowed = true;
    }
  }
  std::free(header);
}

void* operator new[](std::size_t bytes) { return ::operator new(bytes); }
void operator delete[](void* memory) noexcept { ::operator delete(memory); }
void operator delete(void* memory, std::size_t) noexcept { ::operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { ::operator delete(memory); }
