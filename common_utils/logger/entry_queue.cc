#include "common_utils/logger/log_entry.h"

namespace kvtr::logger {

void EntryQueue::Push(std::unique_ptr<LogEntry> entry) noexcept {
  CriticalSectionLock hold(lock_);
  try {
    entries_.push_back(std::move(entry));
    length_.store(entries_.size(), std::memory_order_relaxed);
  } catch (...) {
    // The entry goes with `entry` as it leaves.
  }
}

std::unique_ptr<LogEntry> EntryQueue::Pop() {
  CriticalSectionLock hold(lock_);
  if (entries_.empty()) return nullptr;
  std::unique_ptr<LogEntry> entry = std::move(entries_.front());
  entries_.pop_front();
  length_.store(entries_.size(), std::memory_order_relaxed);
  return entry;
}

}  // namespace kvtr::logger
