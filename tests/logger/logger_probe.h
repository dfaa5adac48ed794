// DebugLoggerProbe: reaches a logger's outputs one by one on the test's
// own thread, so a test controls every entry's time and thread id and can
// read the file between steps. The worker is never started through it.
#pragma once

#include <ctime>
#include <string>

#include "common_utils/logger/debug_logger.h"
#include "support/test_machine.h"

namespace kvtr::logger {

class DebugLoggerProbe {
 public:
  explicit DebugLoggerProbe(DebugLogger& logger) : logger_(logger) {}

  bool Open() { return logger_.OpenTraceFile(); }
  bool Close() { return logger_.CloseTraceFile(); }
  bool Reopen() { return logger_.ReopenTraceFile(); }
  bool Write(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message, int32_t eventId = 0,
             const wchar* user = W("")) {
    return logger_.WriteTraceEntry(time, threadId, level, message, eventId, user);
  }
  void SetLevels(int32_t trace, int32_t eventLog, int32_t syslog, int32_t console) {
    logger_.SetLevels(trace, eventLog, syslog, console);
  }
  void Reload() { logger_.ReloadConfiguration(); }
  void OpenSyslog() { logger_.OpenSyslog(); }
  void CloseSyslog() { logger_.CloseSyslog(); }
  void ConnectionPass() { logger_.SyslogConnectionPass(); }
  void SendSyslog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const char* message, int32_t eventId,
                  const char* user) {
    logger_.SendSyslog(time, threadId, level, message, eventId, user);
  }
  const std::vector<SyslogTarget>& syslogTargets() const { return logger_.syslogTargets_; }
  void SetSyslogCounter(int32_t counter) { logger_.syslogCounter_ = counter; }
  // What the worker copies from the application name when it starts.
  void SetEventSourceName(const WString& name) { logger_.eventSourceName_ = name; }
  const std::string& hostName() const { return logger_.hostName_; }
  const LoggerSettings& settings() const { return logger_.settings_; }
  int32_t maxLevel() const { return logger_.maxLevel_.load(); }
  // The file the stream is open on.
  const WString& fileName() const { return logger_.traceFileName_; }

  // Names as the writer would choose them on `year`-`month`-`day`.
  WString ChooseName(int year, int month, int day, bool forceNewFile) {
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    date.tm_isdst = -1;
    logger_.traceFileDate_ = date;
    return logger_.ChooseTraceFileName(forceNewFile);
  }

 private:
  DebugLogger& logger_;
};

// An entry time: 7 March, 14:05:09.007 unless given otherwise.
inline SYSTEMTIME EntryTime(WORD month = 3, WORD day = 7, WORD hour = 14, WORD minute = 5, WORD second = 9,
                            WORD milliseconds = 7) {
  SYSTEMTIME time{};
  time.wYear = 2011;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  time.wMilliseconds = milliseconds;
  return time;
}

// UTF-16LE bytes of ASCII text.
inline std::string Utf16Bytes(const std::string& ascii) {
  std::string bytes;
  for (const char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

}  // namespace kvtr::logger
