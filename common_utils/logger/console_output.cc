// The console output: one short line per entry on standard output.
#include <cstdio>
#include <string>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/output_format.h"

namespace kvtr::logger {

void DebugLogger::WriteConsoleLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                                   int32_t eventId) {
  if (!settings_.consoleEnabled || !PassesLevel(level, consoleLevel_.load(std::memory_order_relaxed))) return;
  // The line is formatted without its line feed, which is added after: a
  // text cut at the formatting limit still ends its line.
  qel::QELString line;
  line.Format(W("[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} %s"), EntryCode(level, eventId), time.wHour,
              time.wMinute, time.wSecond, time.wMilliseconds, static_cast<unsigned>(threadId),
              message != nullptr ? message : W(""));
  // The text in the ANSI code page, as the C runtime's wide output writes it.
  const char* const narrow = line.ToNarrow();
  if (narrow == nullptr || std::fputs(narrow, stdout) == EOF || std::fputc('\n', stdout) == EOF ||
      std::fflush(stdout) == EOF) {
    consoleLost_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace kvtr::logger
