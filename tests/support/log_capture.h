// The entries the support code logs while a test runs, as the logging
// entry points hand them over (level and formatted text).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common_utils/format/log_entry_points.h"
#include "platform/wide.h"

namespace kvtr::test {

struct LogEntry {
  int level;
  std::string text;
  bool operator==(const LogEntry& other) const { return level == other.level && text == other.text; }
  friend std::ostream& operator<<(std::ostream& out, const LogEntry& entry) {
    return out << entry.level << ": " << entry.text;
  }
};

class LogCapture {
 public:
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  LogCapture() { format::SetLogMessageListener(&LogCapture::Receive, this); }
  ~LogCapture() { format::SetLogMessageListener(nullptr, nullptr); }

  std::vector<LogEntry> Entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.clear();
  }
  // Waits until an entry with exactly `text` has arrived.
  bool WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> hold(lock_);
    return arrived_.wait_for(hold, std::chrono::seconds(10), [&] {
      for (const LogEntry& entry : entries_) {
        if (entry.text == text) return true;
      }
      return false;
    });
  }

 private:
  static void Receive(int level, int, const wchar* text, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> hold(self->lock_);
    self->entries_.push_back(LogEntry{level, NarrowAscii(text)});
    self->arrived_.notify_all();
  }

  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<LogEntry> entries_;
};

}  // namespace kvtr::test
