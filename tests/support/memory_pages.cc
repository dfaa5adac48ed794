#include "support/memory_pages.h"

#include <cstring>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kvtr::test {

#ifdef _WIN32

MemoryPages::MemoryPages(Access firstPage, const void* tailBytes, size_t tailSize) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  size_ = info.dwPageSize;
  base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  std::memset(base_, 'x', size_);
  if (tailBytes != nullptr && tailSize <= size_) std::memcpy(base_ + size_ - tailSize, tailBytes, tailSize);
  DWORD old = 0;
  const DWORD protection = firstPage == Access::kNone       ? PAGE_NOACCESS
                           : firstPage == Access::kReadOnly ? PAGE_READONLY
                                                            : PAGE_READWRITE;
  VirtualProtect(base_, size_, protection, &old);
  VirtualProtect(base_ + size_, size_, PAGE_NOACCESS, &old);
}

MemoryPages::~MemoryPages() { VirtualFree(base_, 0, MEM_RELEASE); }

void* MemoryPages::Unmapped() {
  // Reserve and release: the range is then free address space.
  void* range = VirtualAlloc(nullptr, 1 << 16, MEM_RESERVE, PAGE_NOACCESS);
  VirtualFree(range, 0, MEM_RELEASE);
  return range;
}

#else

MemoryPages::MemoryPages(Access firstPage, const void* tailBytes, size_t tailSize) {
  size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  base_ = static_cast<char*>(mapped);
  std::memset(base_, 'x', size_);
  if (tailBytes != nullptr && tailSize <= size_) std::memcpy(base_ + size_ - tailSize, tailBytes, tailSize);
  const int protection = firstPage == Access::kNone       ? PROT_NONE
                         : firstPage == Access::kReadOnly ? PROT_READ
                                                          : PROT_READ | PROT_WRITE;
  mprotect(base_, size_, protection);
  mprotect(base_ + size_, size_, PROT_NONE);
}

MemoryPages::~MemoryPages() { munmap(base_, 2 * size_); }

void* MemoryPages::Unmapped() {
  const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* range = mmap(nullptr, 4 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  munmap(range, 4 * size);
  return range;
}

#endif

}  // namespace kvtr::test
