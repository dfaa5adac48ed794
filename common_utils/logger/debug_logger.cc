#include "common_utils/logger/debug_logger.h"

#include "common_utils/logger/output_format.h"
#include "common_utils/text/conversions.h"

#include <algorithm>
#include <new>

namespace kvtr::logger {
namespace {

std::atomic<bool> g_directOutput{false};

}  // namespace

DebugLogger::DebugLogger() : DebugLogger(nullptr) {}

DebugLogger::DebugLogger(TraceFileReport* environmentReport)
    : Thread("DebugLogger"), environmentReport_(environmentReport) {
  format::AdoptLogReceiver(this);
}

DebugLogger::~DebugLogger() {
  Stop();
  format::ReleaseLogReceiver(this);
}

bool DebugLogger::Configure(const LoggerSettings& settings) {
  if (handle() != nullptr) return false;
  settings_ = settings;
  SetLevels(settings.traceLevel, settings.eventLogLevel, settings.syslogLevel, settings.consoleLevel);
  return true;
}

void DebugLogger::SetLevels(int32_t trace, int32_t eventLog, int32_t syslog, int32_t console) noexcept {
  settings_.traceLevel = trace;
  settings_.eventLogLevel = eventLog;
  settings_.syslogLevel = syslog;
  settings_.consoleLevel = console;
  traceLevel_.store(trace, std::memory_order_relaxed);
  eventLogLevel_.store(eventLog, std::memory_order_relaxed);
  syslogLevel_.store(syslog, std::memory_order_relaxed);
  consoleLevel_.store(console, std::memory_order_relaxed);
  maxLevel_.store(std::max({trace, eventLog, syslog, console}), std::memory_order_relaxed);
}

DebugLogger::Losses DebugLogger::OutputLosses() const {
  Losses losses;
  losses.traceFile = traceLost_.load(std::memory_order_relaxed);
  losses.eventLog = eventLogLost_.load(std::memory_order_relaxed);
  losses.console = consoleLost_.load(std::memory_order_relaxed);
  losses.dispatch = dispatchLost_.load(std::memory_order_relaxed);
  for (const SyslogTarget& target : syslogTargets_) {
    std::string name = target.host + ":" + std::to_string(ntohs(target.address.sin_port));
    if (target.type == SOCK_STREAM) name += "/tcp";
    losses.syslog.emplace_back(std::move(name), target.framesLost);
  }
  return losses;
}

void DebugLogger::SetDirectOutput(bool on) noexcept { g_directOutput.store(on, std::memory_order_relaxed); }

bool DebugLogger::IsLogLevelEnabled(int32_t level) const noexcept {
  return level == 5 || level <= traceLevel_.load(std::memory_order_relaxed) ||
         level <= consoleLevel_.load(std::memory_order_relaxed) ||
         level <= eventLogLevel_.load(std::memory_order_relaxed) ||
         level <= syslogLevel_.load(std::memory_order_relaxed);
}

void DebugLogger::Submit(int32_t level, int32_t eventId, int32_t threadId, const wchar* message,
                         const wchar* user) noexcept {
  try {
    if (g_directOutput.load(std::memory_order_relaxed)) {
      qel::QELString text(message);
      text.Strip(qel::QELString::kStripTrailing);
      if (settings_.directSink != nullptr) settings_.directSink->Write(text);
      return;
    }
    if (!PassesLevel(level, maxLevel_.load(std::memory_order_relaxed))) return;
    auto entry = std::make_unique<LogEntry>(user != nullptr ? user : W(""), message);
    entry->eventId = eventId;
    entry->threadId = threadId > 0 ? threadId : static_cast<int32_t>(GetCurrentThreadId());
    entry->level = level;
    entry->topOfFile = GetCurrentThreadId() == Thread::threadId() && writingTopLines_;
    GetLocalTime(&entry->time);
    entry->message.Strip(qel::QELString::kStripTrailing);
    queue_.Push(std::move(entry));
  } catch (...) {
    // Memory ran out: the entry is dropped.
  }
}

void DebugLogger::FormatAndSubmitW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                                   const wchar* user) noexcept {
  try {
    qel::QELString text;
    text.FormatV(format, args);
    Submit(level, eventId, 0, text.CStr(), user);
  } catch (...) {
  }
}

void DebugLogger::LogFormattedW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                                const wchar* user) noexcept {
  if (!running()) return;
  FormatAndSubmitW(level, format, args, eventId, user);
}

void DebugLogger::LogFormattedA(int32_t level, const char* format, va_list args, int32_t eventId,
                                const char* user) noexcept {
  if (!running()) return;
  try {
    qel::QELString text;
    text.FormatNarrowV(format, args);
    const qel::QELString wideUser(user, text::AnsiCodePageIs1252);
    Submit(level, eventId, 0, text.CStr(), wideUser.CStr());
  } catch (...) {
  }
}

void DebugLogger::LogText(int32_t level, int32_t eventId, int32_t threadId, const wchar* text,
                          const wchar* user) noexcept {
  if (!running()) return;
  Submit(level, eventId, threadId, text, user);
}

}  // namespace kvtr::logger
