// The worker's cycle: wait on the stop event in 200 ms steps, drain the
// queue to the outputs (feeding only the trace file while the queue is too
// long), re-read the configuration between drains, and shut the outputs
// down once the stop event was seen and the queue is empty.
#include <cstdint>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/runtime/guarded_region.h"

namespace kvtr::logger {
namespace {

constexpr int64_t kCycleMs = 200;
constexpr DWORD kReopenIntervalMs = 300000;
constexpr DWORD kReloadIntervalMs = 30000;

const wchar kQueueExceeded[] =
    W("[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"");
const wchar kQueueWarning[] =
    W("[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"");
const wchar kQueueEnabled[] = W(
    "[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
    "re-enabling all logging.\"");
const wchar kDispatchException[] =
    W("[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"");

}  // namespace

void DebugLogger::Run() {
  eventSourceName_ = settings_.applicationName;
  OpenSyslog();
  StartEventLogOutput();
  OpenTraceFile();
  running_.store(true, std::memory_order_relaxed);
  DWORD lastReload = GetTickCount();
  DWORD lastReopen = lastReload;
  for (;;) {
    SyslogConnectionPass();
    const bool stopSeen = stopEvent().Wait(kCycleMs) == 1;
    DrainQueue(stopSeen, lastReopen);
    if (stopSeen) {
      CloseTraceFile();
      StopEventLogOutput();
      CloseSyslog();
      return;
    }
    const DWORD now = GetTickCount();
    // The 32-bit difference stays right across the counter's wrap (every
    // 49.7 days), so re-reading goes on at the same pace after it.
    if (settings_.rereadConfig && static_cast<DWORD>(now - lastReload) > kReloadIntervalMs) {
      lastReload = now;
      ReloadConfiguration();
    }
  }
}

void DebugLogger::DrainQueue(bool stopSeen, DWORD& lastReopen) {
  for (;;) {
    if (stopSeen) running_.store(false, std::memory_order_relaxed);
    if (settings_.traceEnabled) {
      const DWORD now = GetTickCount();
      const bool retryDue = !TraceStreamUsable() && static_cast<DWORD>(now - lastReopen) > kReopenIntervalMs;
      if (retryDue || DateHasChanged()) {
        lastReopen = now;
        ReopenTraceFile();
      }
    }
    const std::unique_ptr<LogEntry> entry = queue_.Pop();
    if (entry == nullptr) return;
    // A processor fault in an output ends only this entry, as a thrown
    // exception does.
    bool completed = false;
    writingTopLines_ = entry->topOfFile;
    try {
      completed = runtime::Guarded([&] { ApplyBackPressureAndDispatch(*entry); });
    } catch (...) {
    }
    writingTopLines_ = false;
    if (!completed) {
      dispatchLost_.fetch_add(1, std::memory_order_relaxed);
      try {
        RaiseLoggerEvent(entry->time, 1, kDispatchException);
      } catch (...) {
      }
    }
  }
}

void DebugLogger::ApplyBackPressureAndDispatch(const LogEntry& entry) {
  if (settings_.maxQueueLength > 0) {
    const size_t limit = static_cast<size_t>(settings_.maxQueueLength);
    const size_t length = queue_.length();
    if (length > limit) {
      if (!queueDropping_) RaiseLoggerEvent(entry.time, 0, kQueueExceeded);
      queueDropping_ = true;
    } else if (length > (3 * limit) / 4) {
      if (!queueWarned_) RaiseLoggerEvent(entry.time, 1, kQueueWarning);
      queueWarned_ = true;
    } else if (length < limit / 2) {
      if (queueDropping_) RaiseLoggerEvent(entry.time, 1, kQueueEnabled);
      queueDropping_ = false;
      queueWarned_ = false;
    }
  }
  if (queueDropping_) {
    WriteTraceEntry(entry.time, entry.threadId, entry.level, entry.message.CStr(), entry.eventId, W(""));
    return;
  }
  DispatchToOutputs(entry.time, entry.threadId, entry.level, entry.message, entry.eventId, entry.user);
}

void DebugLogger::RaiseLoggerEvent(const SYSTEMTIME& time, int32_t level, const wchar* text) {
  // The logger's own events carry no user text at all (not an empty one):
  // their syslog frames have no braces.
  const qel::QELString message(text);
  const qel::QELString noUser;
  DispatchToOutputs(time, static_cast<int32_t>(GetCurrentThreadId()), level, message, 0, noUser);
}

void DebugLogger::DispatchToOutputs(const SYSTEMTIME& time, int32_t threadId, int32_t level,
                                    const qel::QELString& message, int32_t eventId, const qel::QELString& user) {
  const wchar* const text = message.CStr();
  ReportToEventLog(time, threadId, level, text, eventId);
  WriteConsoleLine(time, threadId, level, text, eventId);
  SendSyslog(time, threadId, level, message, eventId, user);
  WriteTraceEntry(time, threadId, level, text, eventId, user.CStr());
}

bool DebugLogger::DateHasChanged() const {
  if (!settings_.dateInFileName) return false;
  SYSTEMTIME now;
  GetLocalTime(&now);
  return now.wYear != traceFileDate_.tm_year + 1900 || now.wMonth != traceFileDate_.tm_mon + 1 ||
         now.wDay != traceFileDate_.tm_mday;
}

}  // namespace kvtr::logger
