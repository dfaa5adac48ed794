// The cost of the argument check on a typical log message: SafeFormat
// (check + bounded formatter) against the same bounded formatter alone and
// against the C library's snprintf with the equivalent narrow format.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "common_utils/format/bounded_format.h"
#include "common_utils/report/safe_format.h"

namespace {

using kvtr::wchar;

constexpr int kCapacity = 2048;
const wchar kFormat[] = W("Error [%d] MOF [%s] compilation failed with error code %d");
const wchar kMof[] = W("setup.mof");
const char kNarrowFormat[] = "Error [%d] MOF [%s] compilation failed with error code %d";
const char kNarrowMof[] = "setup.mof";

void Checked(benchmark::State& state) {
  wchar buffer[kCapacity];
  int line = 7;
  int code = -2147217407;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(code);
    int written = kvtr::format::SafeFormat(buffer, kCapacity, kFormat, line, kMof, code);
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
}

void Unchecked(benchmark::State& state) {
  wchar buffer[kCapacity];
  int line = 7;
  int code = -2147217407;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(code);
    int written = kvtr::format::FormatBoundedF(buffer, kCapacity - 1, kFormat, line, kMof, code);
    buffer[kCapacity - 1] = 0;
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
}

void CLibrary(benchmark::State& state) {
  char buffer[kCapacity];
  int line = 7;
  int code = -2147217407;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(code);
    int written = std::snprintf(buffer, kCapacity, kNarrowFormat, line, kNarrowMof, code);
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(Checked);
BENCHMARK(Unchecked);
BENCHMARK(CLibrary);

}  // namespace

BENCHMARK_MAIN();
