// POSIX platform layer: the upper-case table of the Basic Multilingual
// Plane with which every service compares names without regard to case
// (registry keys and values, file names, environment variables,
// CharUpperBuffW), as Windows' one table serves them all. The table is
// built once from upcase_table.inc (see make-upcase-table).
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

class UpcaseTable {
 public:
  UpcaseTable() {
    for (uint32_t c = 0; c < 0x10000; ++c) upper_[c] = static_cast<wchar>(c);
    for (const UpcaseRun& run : kRuns) {
      for (uint32_t c = run.first; c <= run.last; c += run.stride) {
        upper_[c] = static_cast<wchar>(static_cast<int32_t>(c) + run.delta);
      }
    }
  }
  wchar operator[](wchar c) const noexcept { return upper_[c]; }

 private:
  wchar upper_[0x10000];
};

const UpcaseTable& Table() {
  static const UpcaseTable table;
  return table;
}

}  // namespace

wchar FoldCase(wchar c) noexcept { return Table()[c]; }

}  // namespace kvtr::posix
