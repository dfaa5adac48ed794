#include "common_utils/threads/critical_section.h"

namespace kvtr::logger {

CriticalSection::CriticalSection() : section_(new CRITICAL_SECTION) { InitializeCriticalSection(section_); }

CriticalSection::~CriticalSection() { Destroy(); }

void CriticalSection::Destroy() {
  if (section_ == nullptr) return;
  DeleteCriticalSection(section_);
  delete section_;
  section_ = nullptr;
  owner_.store(0, std::memory_order_relaxed);
}

void CriticalSection::Lock() {
  if (section_ == nullptr) return;
  EnterCriticalSection(section_);
  owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
  ++depth_;
}

void CriticalSection::Unlock() {
  // Leaving a critical section this thread does not hold would corrupt it
  // on Windows, so only the owner's unlocks count.
  if (section_ == nullptr || owner_.load(std::memory_order_relaxed) != GetCurrentThreadId() || depth_ <= 0) return;
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  LeaveCriticalSection(section_);
}

}  // namespace kvtr::logger
