// Reading a block of performance data, which may need a buffer larger than
// its first size.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/win32.h"

namespace kvtr::environment {

// Reads the performance data of the objects `index` names from
// HKEY_PERFORMANCE_DATA into `block`, which comes in at its first size.
// While the answer is ERROR_MORE_DATA the block grows, zero-filled, by a
// step that starts at `firstStep` and doubles each round: a source that
// never has enough reaches the 64 MB limit in a few rounds, and the limit
// ends the asking with ERROR_MORE_DATA. On success the block is cut to the
// size answered. Growth raises std::bad_alloc when memory runs out.
LONG QueryPerformanceBlock(const WCHAR* index, std::vector<BYTE>& block, size_t firstStep);

}  // namespace kvtr::environment
