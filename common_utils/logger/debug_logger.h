// DebugLogger: the diagnostic logger service. Any thread submits entries;
// the worker (Run) drains the queue every 200 ms and writes each entry to
// the event log, the console, the syslog servers and the trace file.
//
// An owner sets the configuration with Configure before Start; once the
// worker runs, it alone touches the outputs and re-reads the registry
// values under the configured key (ReloadConfiguration). Submitters read
// only the running flag and the levels.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common_utils/logger/log_entry.h"
#include "common_utils/report/log_receiver.h"
#include "common_utils/text/qel_string.h"
#include "common_utils/threads/thread.h"
#include "platform/handle_owners.h"
#include "platform/wide.h"
#include "platform/win32.h"

namespace kvtr::logger {

// Told after the trace file was reopened.
class TraceReopenObserver {
 public:
  virtual void TraceFileReopened() = 0;

 protected:
  ~TraceReopenObserver() = default;
};

// Receives the messages while the direct-output switch is on.
class DirectLogSink {
 public:
  virtual void Write(const qel::QELString& message) = 0;

 protected:
  ~DirectLogSink() = default;
};

// What the owner of a logger sets before Start, with the defaults of a
// newly constructed logger. The fields that the registry also sets are the
// starting values until the first reload.
struct LoggerSettings {
  std::string syslogServers;  // "host[:port][/tcp]" items, comma-separated
  int32_t syslogFacility = 0;
  int32_t defaultTraceLevel = 3;  // when "DebugLogLevel" is missing or invalid
  int32_t traceLevel = 3;
  int32_t eventLogLevel = 2;
  int32_t syslogLevel = 2;
  int32_t consoleLevel = 3;
  bool rereadConfig = true;
  bool perUserConfig = false;  // the key is under HKEY_CURRENT_USER
  WString configKeyPath;       // empty: nothing is re-read
  WString applicationName;     // event source name and syslog tag
  WString traceFilePath;       // empty: no trace file
  WString messageModuleName;   // registered as the event message file
  WString traceDirectory;      // structured names
  WString traceFilePrefix;
  WString componentName;
  int32_t maxTraceFileSize = 2000000;  // 0 or less: no limit
  bool dateInFileName = false;
  int32_t maxQueueLength = 0;  // 0 or less: no back-pressure
  int32_t maxDailyFileAge = 0;  // days; 0 or less keeps old files
  bool blockingSyslog = true;
  bool addSyslogHeader = true;
  bool rollToNewFile = false;
  bool traceEnabled = true;
  bool syslogEnabled = true;
  bool consoleEnabled = false;
  bool eventLogEnabled = true;
  bool dailyFolders = false;
  int32_t instanceNumber = 0;
  uint32_t eventLogTimeThreshold = 60;
  TraceReopenObserver* reopenObserver = nullptr;
  DirectLogSink* directSink = nullptr;
  bool structuredNames = false;
  int32_t traceEncoding = 0;  // 0 ANSI, 1 UTF-8, 2 UTF-16LE
  bool splitLines = false;
  bool reportEnvironment = true;
};

// What a new trace file's top lines end with when the settings ask for the
// environment report. The logger only calls it, on its worker; the owner
// keeps it alive as long as the logger.
class TraceFileReport {
 public:
  virtual void WriteReport() = 0;

 protected:
  ~TraceFileReport() = default;
};

// The first logger constructed while the process has no log receiver
// becomes it (the module's TheDebugLogger), until it is destroyed.
// One syslog server of the list, with its connection.
struct SyslogTarget {
  int32_t lastError = 0;  // the last socket error; 0 after a connect
  int32_t state = -1;     // -1 never tried since parsing, 0 not connected, 1 connected
  UniqueSocket socket;    // none: the invalid value
  int type = SOCK_DGRAM;
  int protocol = 0;
  sockaddr_in address{};  // port in network order, 514 unless given
  std::string host;
  uint64_t framesLost = 0;  // frames for this server not sent (not connected, refused)
};

class DebugLogger : public Thread, public format::LogReceiver {
 public:
  static constexpr int32_t kFileErrorEventId = static_cast<int32_t>(0xEFFF2710);

  DebugLogger();
  // With the report each new trace file begins with (none without it).
  explicit DebugLogger(TraceFileReport* environmentReport);
  // Stops a running worker first; queued entries are discarded.
  ~DebugLogger() override;

  // Replaces the settings. False (nothing changes) once started.
  bool Configure(const LoggerSettings& settings);
  const LoggerSettings& settings() const noexcept { return settings_; }

  // Submission. Submit appends an entry unless its level passes no output
  // (5 always passes); a thread id of 0 or less becomes the caller's.
  void Submit(int32_t level, int32_t eventId, int32_t threadId, const wchar* message, const wchar* user) noexcept;
  bool IsLogLevelEnabled(int32_t level) const noexcept override;
  // The entry points: each formats (at most 1023 characters) and submits
  // with thread id 0. All but FormatAndSubmitW do nothing while the worker
  // is not running.
  void LogFormattedW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                     const wchar* user) noexcept override;
  void LogFormattedA(int32_t level, const char* format, va_list args, int32_t eventId,
                     const char* user) noexcept override;
  void LogText(int32_t level, int32_t eventId, int32_t threadId, const wchar* text,
               const wchar* user) noexcept override;
  void FormatAndSubmitW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                        const wchar* user) noexcept override;

  // What the outputs could not deliver: entries an enabled output took by
  // its level but could not write or send (a trace line not written, a
  // frame for a server that was not connected or refused it, ...). Read
  // once the worker has stopped.
  struct Losses {
    uint64_t traceFile = 0;
    uint64_t eventLog = 0;
    uint64_t console = 0;
    uint64_t dispatch = 0;  // entries no output got: the dispatch itself failed
    std::vector<std::pair<std::string, uint64_t>> syslog;  // per server, "host:port[/tcp]"
  };
  Losses OutputLosses() const;

  bool running() const noexcept { return running_.load(std::memory_order_relaxed); }
  size_t queueLength() const noexcept { return queue_.length(); }

  // The process-wide direct-output switch: while on, Submit hands each
  // message to the settings' direct sink on the submitting thread.
  static void SetDirectOutput(bool on) noexcept;

 protected:
  void Run() override;

 private:
  friend class DebugLoggerProbe;  // tests reach the outputs one by one

  // Configuration (logger_configuration.cc).
  void ReloadConfiguration();
  void SetLevels(int32_t trace, int32_t eventLog, int32_t syslog, int32_t console) noexcept;

  // The worker's cycle (logger_worker.cc).
  void DrainQueue(bool stopSeen, DWORD& lastReopen);
  void ApplyBackPressureAndDispatch(const LogEntry& entry);
  void RaiseLoggerEvent(const SYSTEMTIME& time, int32_t level, const wchar* text);
  void DispatchToOutputs(const SYSTEMTIME& time, int32_t threadId, int32_t level, const qel::QELString& message,
                         int32_t eventId, const qel::QELString& user);
  bool DateHasChanged() const;

  // Syslog (syslog_sender.cc).
  void OpenSyslog();
  void CloseSyslog();
  void SyslogConnectionPass();
  // The entry's texts go out in their narrow forms (ToNarrow), made only
  // when the output takes the entry.
  void SendSyslog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const qel::QELString& message,
                  int32_t eventId, const qel::QELString& user);
  void SendSyslog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const char* message, int32_t eventId,
                  const char* user);
  // Frame numbers run from 0 to 9999 and start again.
  void AdvanceSyslogCounter() noexcept { syslogCounter_ = syslogCounter_ >= 9999 ? 0 : syslogCounter_ + 1; }

  // The event log (event_log_output.cc).
  void StartEventLogOutput();
  void RegisterEventMessageFile();
  void StopEventLogOutput();
  void ReportToEventLog(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                        int32_t eventId);

  // The console (console_output.cc).
  void WriteConsoleLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                        int32_t eventId);

  // The trace file (trace_file.cc).
  bool OpenTraceFile();
  bool OpenTraceFile(bool forceNewFile);
  bool CloseTraceFile();
  bool ReopenTraceFile();
  bool WriteTraceEntry(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                       int32_t eventId, const wchar* user);
  int64_t WriteTraceLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                         int32_t eventId, const wchar* user);
  int64_t WriteOneTraceLine(const SYSTEMTIME& time, int32_t threadId, int32_t level, const wchar* message,
                            int32_t eventId, const wchar* user);
  bool WriteFileHeader();
  int DetectFileEncoding();
  int64_t FindEndMarker(const WString& path) const;
  void ReportFileError(const wchar* format, ...);
  bool TraceStreamUsable() const { return traceStream_.is_open() && !traceStream_.fail(); }

  // Trace file names (trace_file_name.cc).
  WString ChooseTraceFileName(bool forceNewFile);
  WString ChooseSimpleTraceFileName(bool forceNewFile);
  WString StructuredPath(const std::tm& date, const wchar* prefix, const WString& sequence) const;
  WString BuildTraceFileName(const std::tm& date, int sequence) const;
  int FindHighestSequence(const std::tm& date) const;
  void DeleteOldTraceFiles(const std::tm& date) const;
  WString ComputerName() const;

  LoggerSettings settings_;
  std::atomic<bool> running_{false};
  EntryQueue queue_;
  // Levels as submitters read them, without a lock.
  std::atomic<int32_t> traceLevel_{3};
  std::atomic<int32_t> eventLogLevel_{2};
  std::atomic<int32_t> syslogLevel_{2};
  std::atomic<int32_t> consoleLevel_{3};
  std::atomic<int32_t> maxLevel_{3};

  // The worker's own state.
  WString eventSourceName_;
  UniqueEventSource eventSourceHandle_;
  std::vector<SyslogTarget> syslogTargets_;
  bool syslogOpen_ = false;
  int32_t syslogCounter_ = 0;
  std::string hostName_;
  std::tm traceFileDate_{};
  WString traceFileName_;  // the file the stream is open on
  std::basic_fstream<wchar> traceStream_;
  int32_t openEncoding_ = 0;  // the encoding of the facet on the stream
  int64_t tracePosition_ = 0;  // the stream's write position, in bytes
  int32_t lastFileError_ = 0;
  // While true the trace file takes lines without its size test: the top
  // lines of a newly opened file, which may alone exceed a small limit,
  // never start a roll-over (a roll-over that rolled over again would never
  // end).
  bool writingTopLines_ = false;
  std::atomic<uint64_t> traceLost_{0};
  std::atomic<uint64_t> eventLogLost_{0};
  std::atomic<uint64_t> consoleLost_{0};
  std::atomic<uint64_t> dispatchLost_{0};
  bool queueWarned_ = false;
  bool queueDropping_ = false;
  TraceFileReport* environmentReport_ = nullptr;
};

}  // namespace kvtr::logger
