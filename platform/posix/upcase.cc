// POSIX platform layer: the upper-case table of the Basic Multilingual
// Plane with which every service compares names without regard to case
// (registry keys and values, file names, environment variables,
// CharUpperBuffW), as Windows' one table serves them all. The table is
// made by the compiler from upcase_table.inc (see make-upcase-table).
#include <array>
#include <cstdint>

#include "layer.h"

namespace kvtr::posix {
namespace {

struct UpcaseRun {
  uint16_t first;
  uint16_t last;
  int32_t delta;
  uint16_t stride;
};

constexpr UpcaseRun kRuns[] = {
#include "upcase_table.inc"
};

// Built by the compiler: constant data, ready before any code runs.
constexpr std::array<wchar, 0x10000> BuildTable() {
  std::array<wchar, 0x10000> upper{};
  for (uint32_t c = 0; c < 0x10000; ++c) upper[c] = static_cast<wchar>(c);
  for (const UpcaseRun& run : kRuns) {
    for (uint32_t c = run.first; c <= run.last; c += run.stride) {
      upper[c] = static_cast<wchar>(static_cast<int32_t>(c) + run.delta);
    }
  }
  return upper;
}

constexpr std::array<wchar, 0x10000> kTable = BuildTable();

}  // namespace

const wchar* const kUpcaseTable = kTable.data();

}  // namespace kvtr::posix
