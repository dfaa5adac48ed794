// The replaced global allocation functions of a test program. Every form
// of operator new goes through Allocate, every form of delete through free.
#include "support/failing_allocator.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace kvtr::test {
namespace {

thread_local uint64_t t_count = 0;
thread_local uint64_t t_failAt = 0;  // 0: not armed
thread_local bool t_failed = false;

void* Allocate(std::size_t bytes, std::size_t alignment) noexcept {
  ++t_count;
  if (t_failAt != 0 && t_count == t_failAt) {
    t_failAt = 0;
    t_failed = true;
    return nullptr;
  }
  if (bytes == 0) bytes = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(bytes);
#ifdef _WIN32
  return _aligned_malloc(bytes, alignment);
#else
  void* memory = nullptr;
  return posix_memalign(&memory, alignment, bytes) == 0 ? memory : nullptr;
#endif
}

void* AllocateOrThrow(std::size_t bytes, std::size_t alignment) {
  void* memory = Allocate(bytes, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void Release(void* memory, std::size_t alignment) noexcept {
#ifdef _WIN32
  if (alignment > alignof(std::max_align_t)) {
    _aligned_free(memory);
    return;
  }
#endif
  (void)alignment;
  std::free(memory);
}

}  // namespace

void FailAllocation(uint64_t nth) {
  t_failed = false;
  t_failAt = nth == 0 ? 0 : t_count + nth;
}

uint64_t AllocationCount() { return t_count; }

bool AllocationFailed() { return t_failed; }

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

void operator delete(void* memory) noexcept { Release(memory, kPlain); }
void operator delete[](void* memory) noexcept { Release(memory, kPlain); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory, kPlain); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory, kPlain); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { Release(memory, kPlain); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { Release(memory, kPlain); }
void operator delete(void* memory, std::align_val_t alignment) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
void operator delete[](void* memory, std::align_val_t alignment) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory, std::size_t, std::align_val_t alignment) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
void operator delete[](void* memory, std::size_t, std::align_val_t alignment) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
void operator delete[](void* memory, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  Release(memory, static_cast<std::size_t>(alignment));
}
