// Pages with chosen protections for memory-check tests: two adjacent pages,
// the first with the requested access and the second inaccessible, so that
// data can end exactly at the edge of unreadable memory.
#pragma once

#include <cstddef>

namespace kvtr::test {

class MemoryPages {
 public:
  enum class Access { kNone, kReadOnly, kReadWrite };

  // `tailBytes` (if any) are copied to the end of the first page before its
  // protection is set, so they end exactly at the inaccessible page.
  explicit MemoryPages(Access firstPage, const void* tailBytes = nullptr, size_t tailSize = 0);
  ~MemoryPages();
  MemoryPages(const MemoryPages&) = delete;
  MemoryPages& operator=(const MemoryPages&) = delete;

  // Start of the first page (with the requested access).
  char* first() const { return base_; }
  // Start of the second page, which can be neither read nor written.
  char* guard() const { return base_ + size_; }
  // The last `bytes` bytes of the first page.
  char* tail(size_t bytes) const { return guard() - bytes; }
  size_t page_size() const { return size_; }

  // Address space that is not mapped at all.
  static void* Unmapped();

 private:
  char* base_ = nullptr;
  size_t size_ = 0;
};

}  // namespace kvtr::test
