// The logger with its worker running: what Submit queues, the entries a
// stop still writes, back-pressure with its events, a flood from several
// threads, the registry configuration, the console and the event log.
#include "common_utils/logger/debug_logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>

#include "platform/posix/emulation.h"
#endif

#include "common_utils/report/log_entry_points.h"
#include "logger/logger_probe.h"
#include "support/test_machine.h"

namespace kvtr::logger {
namespace {

using test::TestMachine;

// The trace file's lines without their times: "[30000] {0x1A4} text".
std::vector<std::string> Bodies(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    std::string line = text.substr(start, end - start);
    const size_t open = line.find(" (");
    const size_t close = line.find("):");
    if (open == 7 && close != std::string::npos) line = line.substr(0, open + 1) + line.substr(close + 2);
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
  return text;
}

class DebugLoggerTest : public ::testing::Test {
 protected:
  LoggerSettings Settings() const {
    LoggerSettings settings;
    settings.traceFilePath = TracePath();
    settings.reportEnvironment = false;
    settings.maxTraceFileSize = 0;
    settings.traceLevel = 2;  // no date line at the top
    settings.rereadConfig = false;
    return settings;
  }
  WString TracePath() const { return machine_.ScratchFolder() + W("\\trace.txt"); }
  std::vector<std::string> TraceLines() const { return Bodies(TestMachine::ReadFile(TracePath())); }

  TestMachine machine_;
};

TEST_F(DebugLoggerTest, SubmitQueuesWhatSomeOutputTakes) {
  DebugLogger logger;
  for (int32_t level = 0; level <= 6; ++level) logger.Submit(level, 0, 0, W("x"), nullptr);
  EXPECT_EQ(5u, logger.queueLength());  // 0 to 3 and 5; 4 and 6 pass no default level

  LoggerSettings quiet = Settings();
  quiet.traceLevel = quiet.eventLogLevel = quiet.syslogLevel = quiet.consoleLevel = 0;
  DebugLogger zero;
  ASSERT_TRUE(zero.Configure(quiet));
  for (int32_t level = 0; level <= 5; ++level) zero.Submit(level, 0, 0, W("x"), nullptr);
  EXPECT_EQ(2u, zero.queueLength());  // 0 and 5
  EXPECT_TRUE(zero.IsLogLevelEnabled(5));
  EXPECT_FALSE(zero.IsLogLevelEnabled(1));

  // Until the worker runs, only the environment report's path queues.
  DebugLogger idle;
  idle.LogText(3, 0, 0, W("dropped"), nullptr);
  va_list none{};
  idle.LogFormattedW(3, W("dropped"), none, 0, nullptr);
  idle.LogFormattedA(3, "dropped", none, 0, nullptr);
  EXPECT_EQ(0u, idle.queueLength());
  idle.FormatAndSubmitW(3, W("queued"), none, 0, nullptr);
  EXPECT_EQ(1u, idle.queueLength());
}

TEST_F(DebugLoggerTest, AStopWritesEveryQueuedEntry) {
  LoggerSettings settings = Settings();
  settings.traceLevel = 3;
  settings.maxTraceFileSize = 1 << 30;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  logger.Submit(3, 0, 0, W("caller's thread  \r\n"), nullptr);
  logger.Submit(3, 0, 0x77, W("given thread"), W("tag"));
  logger.Submit(2, 9, -5, W("event nine"), W(""));
  for (int i = 0; i < 1000; ++i) logger.Submit(3, 0, 0x1A4, WidenAscii("entry " + std::to_string(i)).c_str(), nullptr);
  ASSERT_TRUE(logger.Start());
  logger.Stop();
  EXPECT_FALSE(logger.running());

  const std::vector<std::string> lines = TraceLines();
  ASSERT_GE(lines.size(), 1004u);
  const std::string me = Hex(GetCurrentThreadId());
  // The top of the file: the date line, maybe thread reports; then the entries.
  size_t first = 0;
  while (first < lines.size() && lines[first].find("caller's thread") == std::string::npos) ++first;
  ASSERT_LT(first + 1003, lines.size());
  EXPECT_EQ("[30000] {" + me + "} caller's thread", lines[first]);
  EXPECT_EQ("[30000] {0x77} {tag} given thread", lines[first + 1]);
  EXPECT_EQ("[00009] {" + me + "} event nine", lines[first + 2]);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ("[30000] {0x1A4} entry " + std::to_string(i), lines[first + 3 + i]);
  }
  EXPECT_EQ("====== END OF LOG ======", lines.back());
  EXPECT_EQ(first + 1004, lines.size());
}

TEST_F(DebugLoggerTest, BackPressureFeedsOnlyTheTraceFileWhileTheQueueIsLong) {
  LoggerSettings settings = Settings();
  settings.traceLevel = 3;
  settings.maxQueueLength = 10;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  for (int i = 0; i < 20; ++i) logger.Submit(3, 0, 0x1A4, WidenAscii("e" + std::to_string(i)).c_str(), W("u"));
  ASSERT_TRUE(logger.Start());
  const DWORD worker = logger.threadId();
  logger.Stop();

  const std::string w = "{" + Hex(worker) + "} ";
  std::vector<std::string> expected;
  // After each pop 19, 18, ... entries remain: more than 10 drops, more
  // than 7 warns, fewer than 5 re-enables; each once.
  expected.push_back("[00000] " + w +
                     "[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log "
                     "file\"");
  for (int i = 0; i <= 8; ++i) expected.push_back("[30000] {0x1A4} e" + std::to_string(i));
  expected.push_back("[10000] " + w +
                     "[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded "
                     "75%\"");
  for (int i = 9; i <= 14; ++i) expected.push_back("[30000] {0x1A4} e" + std::to_string(i));
  expected.push_back("[10000] " + w +
                     "[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped "
                     "below 50%, re-enabling all logging.\"");
  for (int i = 15; i <= 19; ++i) expected.push_back("[30000] {0x1A4} {u} e" + std::to_string(i));

  std::vector<std::string> lines = TraceLines();
  const auto firstEntry = std::find_if(lines.begin(), lines.end(),
                                       [](const std::string& line) { return line.find("EVENT=DebugLog") != std::string::npos; });
  lines.erase(lines.begin(), firstEntry);
  EXPECT_EQ(expected, lines);
}

TEST_F(DebugLoggerTest, AFloodFromFourThreadsLosesNothing) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250000;
  LoggerSettings settings = Settings();
  settings.traceLevel = 3;
  settings.maxQueueLength = 5000;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  ASSERT_TRUE(logger.Start());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      const WString text = WidenAscii("flood " + std::to_string(t));
      for (int i = 0; i < kPerThread; ++i) logger.Submit(3, 0, 0, text.c_str(), nullptr);
    });
  }
  for (std::thread& thread : threads) thread.join();
  logger.Stop();
  size_t entries = 0;
  for (const std::string& line : TraceLines()) entries += line.find("} flood ") != std::string::npos;
  EXPECT_EQ(static_cast<size_t>(kThreads) * kPerThread, entries);
}

// The support code's entry points reach the process's logger once it runs:
// formatted entries, narrow ones, and the report of a rejected entry.
TEST_F(DebugLoggerTest, TheEntryPointsReachTheRunningLogger) {
  LoggerSettings settings = Settings();
  settings.traceLevel = 3;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  format::LogMessage(1, W("before the start %d"), 1);  // dropped: not running
  ASSERT_TRUE(logger.Start());
  // However long a loaded machine takes to start the worker.
  while (!logger.running() && WaitForSingleObject(logger.handle(), 2) == WAIT_TIMEOUT) {
  }
  ASSERT_TRUE(logger.running());
  format::LogMessage(2, W("via %s"), W("LogMessage"));
  format::LogEventMessage(1, 0x2A, W("event %d"), 42);
  format::LogMessageNarrow(3, "narrow %s %d", "text", 7);
  format::LogMessage(4, W("above every level"));
  format::LogMessage(3, W("%s then %"), W("cut"));
  logger.Stop();
  std::vector<std::string> lines = TraceLines();
  const std::string me = Hex(GetCurrentThreadId());
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find("{" + me + "}") == std::string::npos; }),
              lines.end());
  EXPECT_EQ((std::vector<std::string>{
                "[20000] {" + me + "} via LogMessage",
                "[00042] {" + me + "} event 42",
                "[30000] {" + me + "} narrow text 7",
                "[50000] {" + me + "} Invalid log entry - Level:3, EventId:0(0x00000000), Format:%s then %, "
                                   "User:<null>, ArgCount:1, Args:arg[1](wchar_t*)=cut",
            }),
            lines);
}

TEST_F(DebugLoggerTest, TheDirectOutputSwitchHandsMessagesToTheSink) {
  struct Sink : DirectLogSink {
    std::vector<std::string> messages;
    void Write(const qel::QELString& message) override { messages.push_back(NarrowAscii(message.CStr())); }
  } sink;
  LoggerSettings settings = Settings();
  settings.directSink = &sink;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLogger::SetDirectOutput(true);
  logger.Submit(9, 0, 0, W("any level, no queue  \r\n"), nullptr);
  DebugLogger::SetDirectOutput(false);
  logger.Submit(3, 0, 0, W("queued"), nullptr);
  EXPECT_EQ(std::vector<std::string>{"any level, no queue"}, sink.messages);
  EXPECT_EQ(1u, logger.queueLength());
}

class ConfigurationKey {
 public:
  explicit ConfigurationKey(const std::string& path) : path_(path) {
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key_, nullptr));
  }
  ~ConfigurationKey() { RegCloseKey(key_); }
  void Number(const wchar* name, DWORD value) {
    RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  void Text(const wchar* name, const wchar* value) {
    RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((WideLength(value) + 1) * sizeof(wchar)));
  }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

TEST_F(DebugLoggerTest, TheRegistryConfigurationAppliesItsValuesOrTheDefaults) {
  struct Values {
    int32_t trace, eventLog, syslog, console;
    bool consoleOn, syslogOn, traceOn, eventLogOn;
    int32_t encoding, maxAge;
  };
  const struct {
    const char* what;
    void (*set)(ConfigurationKey&);
    Values expected;
  } kCases[] = {
      {"nothing set", [](ConfigurationKey&) {}, {4, 2, 2, 3, false, true, false, true, 0, 0}},
      {"levels", [](ConfigurationKey& k) {
         k.Number(W("DebugLogLevel"), 1);
         k.Number(W("EventLogLevel"), 0);
         k.Number(W("SysLogLevel"), 15);
         k.Number(W("ConsoleLogLevel"), 5);
       }, {1, 0, 15, 5, true, true, false, true, 0, 0}},
      {"invalid levels", [](ConfigurationKey& k) {
         k.Number(W("DebugLogLevel"), 16);
         k.Text(W("EventLogLevel"), W("1"));
         k.Number(W("ConsoleLogLevel"), 0xFFFFFFFF);
       }, {4, 2, 2, 3, false, true, false, true, 0, 0}},
      {"console level, switched off", [](ConfigurationKey& k) {
         k.Number(W("ConsoleLogLevel"), 4);
         k.Number(W("ConsoleLogEnabled"), 0);
       }, {4, 2, 2, 4, false, true, false, true, 0, 0}},
      {"console on without a level", [](ConfigurationKey& k) { k.Number(W("ConsoleLogEnabled"), 7); },
       {4, 2, 2, 3, true, true, false, true, 0, 0}},
      {"outputs and numbers", [](ConfigurationKey& k) {
         k.Number(W("SysLogEnabled"), 0);
         k.Number(W("DebugLogEnabled"), 1);
         k.Number(W("EventLogEnabled"), 0);
         k.Number(W("DebugLogEncoding"), 2);
         k.Number(W("DebugLogMaxDailyFileAge"), 9);
       }, {4, 2, 2, 3, false, false, true, false, 2, 9}},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string path = machine_.ScratchKey() + "\\case" + std::to_string(n++);
    ConfigurationKey key(path);
    c.set(key);
    LoggerSettings settings;
    settings.syslogServers = "127.0.0.1";
    settings.configKeyPath = WidenAscii(path);
    settings.perUserConfig = true;
    settings.defaultTraceLevel = 4;
    settings.traceFilePath.clear();  // a switched-on trace has no file to open
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    DebugLoggerProbe probe(logger);
    probe.Reload();
    const LoggerSettings& s = probe.settings();
    const Values& e = c.expected;
    EXPECT_EQ(e.trace, s.traceLevel);
    EXPECT_EQ(e.eventLog, s.eventLogLevel);
    EXPECT_EQ(e.syslog, s.syslogLevel);
    EXPECT_EQ(e.console, s.consoleLevel);
    EXPECT_EQ(std::max({e.trace, e.eventLog, e.syslog, e.console}), probe.maxLevel());
    EXPECT_EQ(e.consoleOn, s.consoleEnabled);
    EXPECT_EQ(e.syslogOn, s.syslogEnabled);
    EXPECT_EQ(e.traceOn, s.traceEnabled);
    EXPECT_EQ(e.eventLogOn, s.eventLogEnabled);
    EXPECT_EQ(e.encoding, s.traceEncoding);
    EXPECT_EQ(e.maxAge, s.maxDailyFileAge);
  }
}

// Standard output, redirected to a file while `body` runs.
template <typename Body>
std::string CaptureStandardOutput(const WString& file, Body body) {
  std::fflush(stdout);
#ifdef _WIN32
  const int saved = _dup(_fileno(stdout));
  FILE* const target = _wfopen(file.c_str(), L"wb");
  _dup2(_fileno(target), _fileno(stdout));
#else
  char host[4096];
  KvtrEmu_HostPath(file.c_str(), host, sizeof host);
  const int saved = dup(fileno(stdout));
  FILE* const target = std::fopen(host, "wb");
  dup2(fileno(target), fileno(stdout));
#endif
  body();
  std::fflush(stdout);
#ifdef _WIN32
  _dup2(saved, _fileno(stdout));
  _close(saved);
#else
  dup2(saved, fileno(stdout));
  close(saved);
#endif
  std::fclose(target);
  return TestMachine::ReadFile(file);
}

TEST_F(DebugLoggerTest, ConsoleLinesShowTheTimeOfDayAndTheThread) {
  LoggerSettings settings = Settings();
  settings.traceFilePath.clear();
  settings.consoleEnabled = true;
  settings.consoleLevel = 4;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  logger.Submit(3, 0, 0x1A4, W("started"), nullptr);
  logger.Submit(4, 0x12345, 0x1A4, W("detail"), nullptr);
  logger.Submit(6, 0, 0x1A4, W("not shown"), nullptr);
  // A text longer than a line holds is cut; its line still ends.
  logger.Submit(3, 0, 0x1A4, WString(2000, 'a').c_str(), nullptr);
  logger.Submit(3, 0, 0x1A4, W("after"), nullptr);
  const std::string out = CaptureStandardOutput(machine_.ScratchFolder() + W("\\stdout.txt"), [&] {
    ASSERT_TRUE(logger.Start());
    logger.Stop();
  });
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // text-mode output on Windows
    if (line.size() > 22 && line[7] == ' ' && line[8] == '(') line.erase(9, 12);  // hh:mm:ss.mmm
    lines.push_back(line);
  }
  // 1023 characters before the time is taken out.
  const std::string cut = "[30000] ():{0x01A4} " + std::string(1023 - 32, 'a');
  EXPECT_EQ((std::vector<std::string>{"[30000] ():{0x01A4} started", "[09029] ():{0x01A4} detail", cut,
                                      "[30000] ():{0x01A4} after"}),
            lines);
}

// The worker opens the trace file before it runs: a file that cannot be
// made is still reported, to the outputs that work.
TEST_F(DebugLoggerTest, ATraceFileThatCannotBeCreatedIsReportedOnTheOtherOutputs) {
  ASSERT_TRUE(TestMachine::WriteFile(machine_.ScratchFolder() + W("\\blocker"), "x"));
  LoggerSettings settings = Settings();
  settings.traceFilePath = machine_.ScratchFolder() + W("\\blocker\\sub\\t.txt");
  settings.consoleEnabled = true;
  settings.consoleLevel = 3;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  logger.Submit(3, 0, 0x1A4, W("entry"), nullptr);
  const std::string out = CaptureStandardOutput(machine_.ScratchFolder() + W("\\stdout.txt"), [&] {
    ASSERT_TRUE(logger.Start());
    logger.Stop();
  });
  const std::string report = "[DIAG] Could not create debug trace file " + NarrowAscii(settings.traceFilePath) + " : ";
  EXPECT_NE(std::string::npos, out.find("[10000] (")) << out;
  EXPECT_NE(std::string::npos, out.find(report)) << out;
  EXPECT_NE(std::string::npos, out.find("} entry")) << out;
  EXPECT_GE(logger.OutputLosses().traceFile, 1u);
}

TEST_F(DebugLoggerTest, EventsGoToTheEventLogUnderTheApplicationsSource) {
  LoggerSettings settings = Settings();
  settings.traceFilePath.clear();
  settings.applicationName = W("kvtr-logger-test");
  settings.eventLogLevel = 3;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  for (int32_t level = 0; level <= 5; ++level) {
    logger.Submit(level, 0, 0, WidenAscii("level " + std::to_string(level)).c_str(), nullptr);
  }
  logger.Submit(5, 0x12345, 0, W("own id"), nullptr);
  ASSERT_TRUE(logger.Start());
  logger.Stop();

  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kvtr-logger-test",
                          0, KEY_READ, &key));
  DWORD types = 0, size = sizeof types, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("TypesSupported"), nullptr, &type, reinterpret_cast<BYTE*>(&types), &size));
  EXPECT_EQ(7u, types);
  wchar file[260] = {};
  size = sizeof file;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("EventMessageFile"), nullptr, &type, reinterpret_cast<BYTE*>(file), &size));
  wchar self[260] = {};
  GetModuleFileNameW(nullptr, self, 260);
  EXPECT_EQ(WString(self), WString(file));
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kvtr-logger-test");

#ifndef _WIN32
  // The emulated machine's log: each level's type and default id; level 4
  // has no event type.
  const std::string log = test::ReadHostFile(std::string(KvtrEmu_Prefix()) + "/eventlog.txt");
  std::vector<std::string> records;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = log.substr(start, end - start);
    records.push_back(line.substr(line.find('\t') + 1));
  }
  EXPECT_EQ((std::vector<std::string>{
                "kvtr-logger-test\t1\t0xEFFF2710\tlevel 0", "kvtr-logger-test\t1\t0xEFFF2710\tlevel 1",
                "kvtr-logger-test\t2\t0xAFFF4E20\tlevel 2", "kvtr-logger-test\t4\t0x6FFF7530\tlevel 3",
                "kvtr-logger-test\t4\t0x6FFFC350\tlevel 5", "kvtr-logger-test\t4\t0x00012345\town id"}),
            records);
#endif
}

#ifndef _WIN32
// Needs the emulation's tick offset: the configuration is re-read every
// 30 s of the tick count, also across its 32-bit wrap.
TEST_F(DebugLoggerTest, ConfigurationIsReReadAcrossTheTickWrap) {
  const std::string path = machine_.ScratchKey() + "\\wrap";
  ConfigurationKey key(path);
  key.Number(W("DebugLogLevel"), 4);
  LoggerSettings settings = Settings();
  settings.rereadConfig = true;
  settings.configKeyPath = WidenAscii(path);
  settings.perUserConfig = true;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  // Start 10 s before the wrap; then move on by 31 s, over it.
  const DWORD base = GetTickCount();
  KvtrEmu_SetTickCountOffset(0xFFFFFFFFu - 10000 - base);
  ASSERT_TRUE(logger.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(logger.IsLogLevelEnabled(4));
  KvtrEmu_SetTickCountOffset(0xFFFFFFFFu - 10000 - base + 31000);
  for (int i = 0; i < 50 && !logger.IsLogLevelEnabled(4); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool reread = logger.IsLogLevelEnabled(4);
  logger.Stop();
  KvtrEmu_SetTickCountOffset(0);
  EXPECT_TRUE(reread);
}
#endif

}  // namespace
}  // namespace kvtr::logger
