// The diagnostic logger's costs: Submit latency (p50, p99) from 1 and 4
// threads, and the drain to a UTF-8 trace file, flushed after every line,
// against spdlog's basic_file_sink_mt with flush_on(trace) writing the
// same lines, in one run.
#include <benchmark/benchmark.h>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common_utils/logger/debug_logger.h"
#include "platform/posix/emulation.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvtr::logger::DebugLogger;
using kvtr::logger::LoggerSettings;

const kvtr::wchar kMessage[] = W("Error [7] MOF [setup.mof] compilation failed with error code -2147217407");
const char kNarrowMessage[] = "Error [7] MOF [setup.mof] compilation failed with error code -2147217407";

std::string BenchFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kvtr-bench-XXXXXX";
    const std::string made = mkdtemp(pattern);
    KvtrEmu_UsePrefix(made.c_str());
    return made;
  }();
  return folder;
}

// Submit from `threads` threads while the worker drains to nowhere (no
// outputs), each call timed on its own.
void SubmitLatency(benchmark::State& state) {
  BenchFolder();
  const int threads = static_cast<int>(state.range(0));
  constexpr int kCalls = 20000;
  std::vector<double> latencies;
  for (auto _ : state) {
    LoggerSettings settings;
    settings.traceEnabled = false;
    settings.eventLogEnabled = false;
    settings.syslogEnabled = false;
    DebugLogger logger;
    logger.Configure(settings);
    logger.Start();
    std::vector<std::vector<double>> perThread(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        perThread[t].reserve(kCalls);
        for (int i = 0; i < kCalls; ++i) {
          const auto start = Clock::now();
          logger.Submit(3, 0, 0, kMessage, nullptr);
          perThread[t].push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    logger.Stop();
    for (const auto& values : perThread) latencies.insert(latencies.end(), values.begin(), values.end());
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_ns"] = latencies[latencies.size() / 2];
  state.counters["p99_ns"] = latencies[latencies.size() * 99 / 100];
  state.SetItemsProcessed(static_cast<int64_t>(latencies.size()));
}
BENCHMARK(SubmitLatency)->Arg(1)->Arg(4)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

constexpr int kLines = 200000;

// Our logger: the lines are queued, then the worker writes each to the
// UTF-8 trace file and flushes it; timed from the first submission until
// the stop has written the last line.
void DrainToTraceFile(benchmark::State& state) {
  BenchFolder();
  int run = 0;
  for (auto _ : state) {
    LoggerSettings settings;
    settings.traceFilePath = kvtr::WidenAscii("C:\\bench\\trace" + std::to_string(run++) + ".txt");
    settings.traceEncoding = 1;
    settings.maxTraceFileSize = 0;
    settings.reportEnvironment = false;
    settings.traceLevel = 2;  // no date line at the top
    settings.eventLogEnabled = false;
    DebugLogger logger;
    logger.Configure(settings);
    logger.Start();
    while (!logger.running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i) logger.Submit(2, 0, 0, kMessage, nullptr);
    logger.Stop();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLines);
}
BENCHMARK(DrainToTraceFile)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// spdlog writing the same line (same layout, CR LF) through its
// thread-safe file sink, flushed after every line.
void SpdlogFlushEveryLine(benchmark::State& state) {
  const std::string folder = BenchFolder();
  int run = 0;
  for (auto _ : state) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(folder + "/spdlog" + std::to_string(run++) + ".txt",
                                                                    true);
    spdlog::logger logger("bench", sink);
    logger.set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "[20000] (%m/%d %H:%M:%S.%e):{0x%t} %v", spdlog::pattern_time_type::local, "\r\n"));
    logger.set_level(spdlog::level::trace);
    logger.flush_on(spdlog::level::trace);
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i) logger.warn(kNarrowMessage);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLines);
}
BENCHMARK(SpdlogFlushEveryLine)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
