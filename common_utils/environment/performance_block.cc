#include "common_utils/environment/performance_block.h"

namespace kvtr::environment {
namespace {

// A system that keeps asking for more than this is not answering sensibly.
constexpr size_t kPerformanceDataLimit = size_t{64} << 20;

}  // namespace

LONG QueryPerformanceBlock(const WCHAR* index, std::vector<BYTE>& block, size_t firstStep) {
  size_t step = firstStep;
  for (;;) {
    DWORD size = static_cast<DWORD>(block.size());
    const LONG status = RegQueryValueExW(HKEY_PERFORMANCE_DATA, index, nullptr, nullptr, block.data(), &size);
    if (status == ERROR_SUCCESS) block.resize(size);
    if (status != ERROR_MORE_DATA || block.size() + step > kPerformanceDataLimit) return status;
    block.assign(block.size() + step, 0);
    step *= 2;
  }
}

}  // namespace kvtr::environment
