// kvtr-log: starts a DebugLogger with the outputs its options name and
// logs each line of standard input at level 3. At the end of the input, or
// on SIGINT / SIGTERM (Ctrl+C, Ctrl+Break or closing the console on
// Windows), it stops the logger, so every line read is written first, and
// exits 0 only when every output took every entry meant for it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/module/environment_trace_report.h"
#include "common_utils/threads/thread_name_registry.h"
#include "platform/win32.h"
#include "tools/log_input.h"

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: kvtr-log [OPTIONS] < LINES\n"
    "Logs each line of standard input at level 3 through the diagnostic logger.\n"
    "  --trace FILE        write a trace file (a Windows path; on Linux inside the emulated machine)\n"
    "  --encoding E        ansi (default), utf8 or utf16le\n"
    "  --max-size BYTES    wrap (or, with --roll, roll over) at this size; 0: no limit\n"
    "  --roll              every open and every full file starts a new numbered file\n"
    "  --date              put the date into the file name\n"
    "  --syslog LIST       syslog servers: host[:port][/tcp], comma-separated\n"
    "  --facility N        syslog facility code (default 0)\n"
    "  --console           echo the entries on standard output\n"
    "  --level N           the level of every output (default: trace and console 3, syslog and event log 2)\n"
    "  --app NAME          event source name and syslog tag\n"
    "  --config-key PATH   HKLM key whose values the logger re-reads every 30 s\n"
    "  --stop-timeout S    how long the end waits for the outputs (default 10 s)\n"
    "Exits 0 when every output took every entry meant for it; otherwise names\n"
    "the output that lost entries (or a worker that did not stop in time) and\n"
    "exits 1.\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kvtr-log: %s\n", problem);
  std::fputs(kUsage, problem != nullptr ? stderr : stdout);
  return problem != nullptr ? kUsageError : 0;
}

kvtr::WString Widen(const std::string& text, UINT codePage) {
  if (text.empty()) return kvtr::WString();
  const int needed = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (needed <= 0) return kvtr::WString();
  kvtr::WString out(static_cast<size_t>(needed), 0);
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), needed);
  return out;
}

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
  char* end = nullptr;
  value = std::strtoll(text, &end, 10);
  return end != text && *end == 0 && value >= low && value <= high;
}

// The logger and the lock that keeps a line from being read but not yet
// submitted when the process is told to stop.
kvtr::logger::DebugLogger* g_logger = nullptr;
std::mutex g_submitting;

// How long a stop waits for the worker to write what it holds.
DWORD g_stopTimeoutMs = 10000;

// Reports every output that lost entries; true when none did.
bool ReportLosses(const kvtr::logger::DebugLogger& logger) {
  const kvtr::logger::DebugLogger::Losses losses = logger.OutputLosses();
  bool whole = true;
  const auto report = [&whole](uint64_t count, const std::string& output) {
    if (count == 0) return;
    std::fprintf(stderr, "kvtr-log: %llu %s did not reach %s\n", static_cast<unsigned long long>(count), count == 1 ? "entry" : "entries",
                 output.c_str());
    whole = false;
  };
  report(losses.traceFile, "the trace file");
  report(losses.eventLog, "the event log");
  report(losses.console, "the console");
  report(losses.dispatch, "any output (the logger failed on them)");
  for (const auto& [server, lost] : losses.syslog) report(lost, "the syslog server " + server);
  return whole;
}

// Stops the logger, so that every line read is written first, and ends
// the process: 1 when an output lost entries or the worker did not stop
// in time (it is then abandoned with what it still held).
[[noreturn]] void StopAndExit(int status) {
  std::lock_guard<std::mutex> hold(g_submitting);
  g_logger->SignalStop();
  const bool stopped = WaitForSingleObject(g_logger->handle(), g_stopTimeoutMs) == WAIT_OBJECT_0;
  std::fflush(stdout);
  if (!stopped) {
    std::fprintf(stderr, "kvtr-log: the logger did not stop within %lu s; entries it had not written are lost\n",
                 static_cast<unsigned long>(g_stopTimeoutMs / 1000));
    std::_Exit(1);
  }
  g_logger->Stop();
  if (!ReportLosses(*g_logger) && status == 0) status = 1;
  std::fflush(stdout);
  std::_Exit(status);
}

// Submits one line of input, its CR LF end taken off; the lock keeps the
// line from being read but not yet submitted when a stop comes.
void SubmitLine(std::string line) {
  std::lock_guard<std::mutex> hold(g_submitting);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const kvtr::WString text = Widen(line, CP_ACP);
  g_logger->Submit(3, 0, 0, text.c_str(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  kvtr::logger::LoggerSettings settings;
  bool levelGiven = false;
  long long level = 3;
  for (int at = 1; at < argc; ++at) {
    const std::string option = argv[at];
    const bool hasValue = at + 1 < argc;
    long long number = 0;
    if (option == "--help" || option == "-h") return Usage(nullptr);
    if (option == "--roll") {
      settings.rollToNewFile = true;
    } else if (option == "--date") {
      settings.dateInFileName = true;
    } else if (option == "--console") {
      settings.consoleEnabled = true;
    } else if (!hasValue) {
      return Usage(("unknown option or missing value: " + option).c_str());
    } else if (option == "--trace") {
      settings.traceFilePath = Widen(argv[++at], CP_ACP);
    } else if (option == "--encoding") {
      const std::string name = argv[++at];
      if (name == "ansi") {
        settings.traceEncoding = 0;
      } else if (name == "utf8") {
        settings.traceEncoding = 1;
      } else if (name == "utf16le") {
        settings.traceEncoding = 2;
      } else {
        return Usage("--encoding takes ansi, utf8 or utf16le");
      }
    } else if (option == "--max-size") {
      if (!ParseNumber(argv[++at], 0, 0x7FFFFFFF, number)) return Usage("--max-size takes 0 to 2147483647 bytes");
      settings.maxTraceFileSize = static_cast<int32_t>(number);
    } else if (option == "--syslog") {
      settings.syslogServers = argv[++at];
    } else if (option == "--facility") {
      if (!ParseNumber(argv[++at], 0, 23, number)) return Usage("--facility takes 0 to 23");
      settings.syslogFacility = static_cast<int32_t>(number);
    } else if (option == "--level") {
      if (!ParseNumber(argv[++at], 0, 15, level)) return Usage("--level takes 0 to 15");
      levelGiven = true;
    } else if (option == "--app") {
      settings.applicationName = Widen(argv[++at], CP_ACP);
    } else if (option == "--stop-timeout") {
      if (!ParseNumber(argv[++at], 1, 3600, number)) return Usage("--stop-timeout takes 1 to 3600 seconds");
      g_stopTimeoutMs = static_cast<DWORD>(number * 1000);
    } else if (option == "--config-key") {
      settings.configKeyPath = Widen(argv[++at], CP_ACP);
    } else {
      return Usage(("unknown option: " + option).c_str());
    }
  }
  if (levelGiven) {
    settings.traceLevel = settings.eventLogLevel = settings.syslogLevel = settings.consoleLevel =
        static_cast<int32_t>(level);
    settings.defaultTraceLevel = static_cast<int32_t>(level);
  }
  if (settings.traceFilePath.empty()) settings.traceEnabled = false;

  kvtr::logger::ThreadNameRegistry threads;
  kvtr::runtime::EnvironmentTraceReport environment;
  kvtr::logger::DebugLogger logger(&environment);
  logger.Configure(settings);
  g_logger = &logger;
  kvtr::logtool::StartStopHandling([] { StopAndExit(0); });
  if (!logger.Start()) {
    std::fputs("kvtr-log: the logger could not start\n", stderr);
    return 1;
  }
  // The worker opens the trace file, whose environment report is queued
  // then, before it runs: wait for that (or for a worker that ended), so
  // the report comes first. No time limit: a slow first start of the
  // machine only delays the lines.
  while (!logger.running() && WaitForSingleObject(logger.handle(), 1) == WAIT_TIMEOUT) {
  }
  kvtr::logtool::ReadLines(&SubmitLine);
  StopAndExit(0);
}
