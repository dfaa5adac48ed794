// kvtr-log: starts a DebugLogger with the outputs its options name and
// logs each line of standard input at level 3. At the end of the input, or
// on SIGINT / SIGTERM (Ctrl+C, Ctrl+Break or closing the console on
// Windows), it stops the logger, so every line read is written first.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/logger/thread_name_registry.h"
#include "platform/win32.h"

#ifndef _WIN32
#include <csignal>
#endif

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
    "  --config-key PATH   HKLM key whose values the logger re-reads every 30 s\n";

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

[[noreturn]] void StopAndExit(int status) {
  {
    std::lock_guard<std::mutex> hold(g_submitting);
    g_logger->Stop();
  }
  std::fflush(stdout);
  std::_Exit(status);
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
  StopAndExit(0);
}
#else
// The signals are blocked in every thread and taken here, so no handler
// is installed and the reading thread is never interrupted mid-line.
void WaitForStopSignal(sigset_t signals) {
  int signal = 0;
  sigwait(&signals, &signal);
  StopAndExit(0);
}
#endif

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
  kvtr::logger::DebugLogger logger;
  logger.Configure(settings);
  g_logger = &logger;
#ifdef _WIN32
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
#else
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(WaitForStopSignal, signals).detach();
#endif
  if (!logger.Start()) {
    std::fputs("kvtr-log: the logger could not start\n", stderr);
    return 1;
  }
  // The worker opens the trace file, whose environment report is queued
  // then, before it runs: wait for that, so the report comes first.
  for (int i = 0; i < 10000 && !logger.running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::ios::sync_with_stdio(false);
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const kvtr::WString text = Widen(line, CP_ACP);
    std::lock_guard<std::mutex> hold(g_submitting);
    logger.Submit(3, 0, 0, text.c_str(), nullptr);
  }
  StopAndExit(0);
}
