// The replaced global allocation functions of a test program. Every block
// carries a header with its size (and the C library's own pointer), so that
// a release can copy it; the copies go to a fixed arena, since a release
// must not allocate.
#include "support/recording_allocator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kvtr::test {
namespace {

struct alignas(16) Header {
  void* raw;    // what malloc gave
  size_t size;  // bytes asked for
};

constexpr size_t kMaxBlocks = 1 << 14;
constexpr size_t kArenaBytes = 16 << 20;

struct Record {
  const void* address;
  size_t size;
  size_t offset;  // into the arena
};

Record g_records[kMaxBlocks];
unsigned char g_arena[kArenaBytes];
size_t g_recordCount = 0;
size_t g_arenaUsed = 0;
bool g_overflowed = false;
thread_local bool t_recording = false;

void* Allocate(size_t bytes, size_t alignment) noexcept {
  if (alignment < alignof(Header)) alignment = alignof(Header);
  void* raw = std::malloc(bytes + alignment + sizeof(Header));
  if (raw == nullptr) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(raw) + sizeof(Header);
  const uintptr_t user = (first + alignment - 1) & ~(static_cast<uintptr_t>(alignment) - 1);
  Header* header = reinterpret_cast<Header*>(user) - 1;
  header->raw = raw;
  header->size = bytes;
  return reinterpret_cast<void*>(user);
}

void* AllocateOrThrow(size_t bytes, size_t alignment) {
  void* memory = Allocate(bytes, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void Release(void* memory) noexcept {
  if (memory == nullptr) return;
  const Header* header = static_cast<Header*>(memory) - 1;
  if (t_recording) {
    if (g_recordCount < kMaxBlocks && header->size <= kArenaBytes - g_arenaUsed) {
      std::memcpy(g_arena + g_arenaUsed, memory, header->size);
      g_records[g_recordCount++] = Record{memory, header->size, g_arenaUsed};
      g_arenaUsed += header->size;
    } else {
      g_overflowed = true;
    }
  }
  std::free(header->raw);
}

}  // namespace

void StartRecordingReleases() {
  g_recordCount = 0;
  g_arenaUsed = 0;
  g_overflowed = false;
  t_recording = true;
}

void StopRecordingReleases() { t_recording = false; }

size_t ReleasedBlockCount() { return g_recordCount; }

ReleasedBlock ReleasedBlockAt(size_t index) {
  const Record& record = g_records[index];
  return ReleasedBlock{record.address, record.size, g_arena + record.offset};
}

bool RecordingOverflowed() { return g_overflowed; }

}  // namespace kvtr::test

using kvtr::test::Allocate;
using kvtr::test::AllocateOrThrow;
using kvtr::test::Release;
constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t bytes) { return AllocateOrThrow(bytes, kPlain); }
void* operator new[](std::size_t bytes) { return AllocateOrThrow(bytes, kPlain); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes, kPlain); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes, kPlain); }
void* operator new(std::size_t bytes, std::align_val_t alignment) {
  return AllocateOrThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
  return AllocateOrThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(bytes, static_cast<std::size_t>(alignment));
}

void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { Release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { Release(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { Release(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { Release(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { Release(memory); }
