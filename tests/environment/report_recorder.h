// A sink of the test's own for the environment report: it records every
// line with its level, function, source line and context, in order.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

struct ReportedLine {
  int level;
  std::string message;  // UTF-8
  std::string function;
  int line;
  void* context;
  friend std::ostream& operator<<(std::ostream& out, const ReportedLine& line) {
    return out << "[" << line.level << "] " << line.function << ":" << line.line << ": " << line.message;
  }
};

class ReportRecorder {
 public:
  ReportRecorder();
  ~ReportRecorder();
  ReportRecorder(const ReportRecorder&) = delete;
  ReportRecorder& operator=(const ReportRecorder&) = delete;

  // The sink: records into the recorder alive at the time.
  static void __cdecl Sink(int level, void*, void*, void*, const WCHAR* message, const char* function, int line,
                           void* context);

  std::vector<ReportedLine> Lines() const;
  // The messages of the lines whose message starts with `prefix`.
  std::vector<std::string> Messages(const std::string& prefix) const;
  // The first line whose message starts with `prefix`; null when none.
  bool Find(const std::string& prefix, ReportedLine* found = nullptr) const;
  // The index of the first such line, or -1.
  int IndexOf(const std::string& prefix) const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<ReportedLine> lines_;
};

}  // namespace kvtr::test
