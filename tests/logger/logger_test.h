// Helpers of the logger tests: the entries the support code logs while a
// test runs (level and formatted text, as the logging entry points hand
// them over), their expected texts, and a registry's entries.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common_utils/format/log_entry_points.h"
#include "common_utils/logger/thread_name_registry.h"

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

// A number as %X (upper case) or %x gives it.
template <typename Number>
std::string Hex(Number value, bool upper = true) {
  std::ostringstream out;
  out << (upper ? std::uppercase : std::nouppercase) << std::hex << value;
  return out.str();
}

inline std::string RegisterText(DWORD id, const std::string& name) {
  return "[DIAG] EVENT=Register_thread, THREADID=0x" + Hex(id) + ", THREADNAME=\"" + name + "\"";
}
inline std::string UnregisterText(DWORD id, const std::string& name) {
  return "[DIAG] EVENT=Unregister_thread, THREADID=0x" + Hex(id) + ", THREADNAME=\"" + name + "\"";
}

using Registered = std::vector<std::pair<DWORD, std::string>>;

// The registry's entries, walked to the end.
inline Registered Walk(logger::ThreadNameRegistry& registry) {
  Registered entries;
  logger::ThreadNameRegistry::Cursor cursor;
  DWORD id = 0;
  std::string name;
  for (bool more = registry.First(cursor, id, name); more; more = registry.Next(cursor, id, name)) {
    entries.emplace_back(id, name);
  }
  return entries;
}

}  // namespace kvtr::test
