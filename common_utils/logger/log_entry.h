// LogEntry, one submitted message with what the outputs print beside it,
// and EntryQueue, the queue between the submitting threads and the
// logger's worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "common_utils/text/qel_string.h"
#include "common_utils/threads/critical_section.h"
#include "platform/win32.h"

namespace kvtr::logger {

struct LogEntry {
  LogEntry() = default;
  // The texts are copied at construction (one record each).
  LogEntry(const wchar* userText, const wchar* messageText) : user(userText), message(messageText) {}

  int32_t eventId = 0;   // 0 when the submitter gave none
  int32_t threadId = 0;  // the submitting thread unless it gave a positive id
  int32_t level = 0;
  qel::QELString user;     // empty when the submitter had none
  qel::QELString message;  // trailing white space removed
  SYSTEMTIME time{};       // local time of creation
  // Submitted by the worker while it wrote the top of a new trace file (the
  // environment report): written without the file's size test.
  bool topOfFile = false;
};

// A queue without a capacity of its own. Push runs on submitting threads,
// Pop on the worker; both lock only for the move itself.
class EntryQueue {
 public:
  EntryQueue() = default;
  // Entries still queued are discarded unwritten.
  ~EntryQueue() = default;
  EntryQueue(const EntryQueue&) = delete;
  EntryQueue& operator=(const EntryQueue&) = delete;

  // Appends at the back; when memory runs out the entry is destroyed and
  // nothing is reported.
  void Push(std::unique_ptr<LogEntry> entry) noexcept;
  // The entry at the front, or null when the queue is empty.
  std::unique_ptr<LogEntry> Pop();
  // The number of queued entries, read without the lock: a snapshot.
  size_t length() const noexcept { return length_.load(std::memory_order_relaxed); }

 private:
  std::deque<std::unique_ptr<LogEntry>> entries_;
  std::atomic<size_t> length_{0};
  CriticalSection lock_;
};

}  // namespace kvtr::logger
