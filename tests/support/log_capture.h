// The entries the support code logs while a test runs, as the logging
// entry points hand them over (level, formatted text, event id): a log
// receiver of the test's own, adopted while no other receiver is.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common_utils/format/bounded_format.h"
#include "common_utils/report/log_receiver.h"
#include "common_utils/text/conversions.h"
#include "platform/wide.h"

namespace kvtr::test {

struct LogEntry {
  int level;
  std::string text;
  int eventId = 0;
  bool operator==(const LogEntry& other) const {
    return level == other.level && text == other.text && eventId == other.eventId;
  }
  friend std::ostream& operator<<(std::ostream& out, const LogEntry& entry) {
    return out << entry.level << ": " << entry.text;
  }
};

class LogCapture : public format::LogReceiver {
 public:
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  LogCapture() { adopted_ = format::AdoptLogReceiver(this); }
  ~LogCapture() { format::ReleaseLogReceiver(this); }
  // False when another receiver was the process's already.
  bool adopted() const { return adopted_; }
  // Levels above `highest` (other than 5) fail the entry points' level
  // test, as with a logger whose outputs take none of them.
  void SetHighestLevel(int highest) { highest_ = highest; }

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
  bool IsLogLevelEnabled(int32_t level) const noexcept override { return level <= highest_ || level == 5; }
  void LogFormattedW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                     const wchar*) noexcept override {
    wchar text[1024] = {};
    format::FormatBounded(text, 1023, format, args);
    Receive(level, eventId, text);
  }
  void LogFormattedA(int32_t level, const char* format, va_list args, int32_t eventId,
                     const char*) noexcept override {
    char narrow[1024] = {};
    format::FormatBounded(narrow, 1023, format, args);
    const text::NarrowToWideConversion wide(narrow, false);
    Receive(level, eventId, wide.result());
  }
  void LogText(int32_t level, int32_t eventId, int32_t, const wchar* text, const wchar*) noexcept override {
    Receive(level, eventId, text);
  }
  void FormatAndSubmitW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                        const wchar* user) noexcept override {
    LogFormattedW(level, format, args, eventId, user);
  }
  void Receive(int level, int eventId, const wchar* text) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back(LogEntry{level, text != nullptr ? NarrowAscii(text) : std::string(), eventId});
    arrived_.notify_all();
  }

  bool adopted_ = false;
  std::atomic<int> highest_{15};

  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<LogEntry> entries_;
};

}  // namespace kvtr::test
