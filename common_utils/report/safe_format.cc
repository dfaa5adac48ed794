#include "common_utils/report/safe_format.h"

#include "common_utils/format/bounded_format.h"
#include "common_utils/format/format_plan.h"

namespace kvtr::format {
namespace {

constexpr int kCheckLevel = 3;

}  // namespace

int SafeFormatV(wchar* buffer, int capacity, const wchar* format, va_list args) {
  // The check comes first: a bad argument list is reported whatever the
  // buffer. Its walk is what gets formatted, unless the format has more
  // directives than a plan holds; then the formatter walks the list again.
  FormatPlan plan;
  if (!ValidateAndPlan(kCheckLevel, format, args, 0, nullptr, true, plan)) return 0;
  if (buffer == nullptr || capacity < 1) return -1;
  const size_t count = static_cast<size_t>(capacity) - 1;
  int result;
  if (plan.complete()) {
    result = FormatPlanned(buffer, count, plan);
  } else {
    va_list copy;
    va_copy(copy, args);
    result = FormatBounded(buffer, count, format, copy);
    va_end(copy);
  }
  buffer[capacity - 1] = 0;
  return result;
}

int SafeFormat(wchar* buffer, int capacity, const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = SafeFormatV(buffer, capacity, format, args);
  va_end(args);
  return result;
}

}  // namespace kvtr::format
