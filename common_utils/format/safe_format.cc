#include "common_utils/format/safe_format.h"

#include "common_utils/format/argument_check.h"
#include "common_utils/format/bounded_format.h"

namespace kvtr::format {
namespace {

constexpr int kCheckLevel = 3;

}  // namespace

int SafeFormatV(wchar* buffer, int capacity, const wchar* format, va_list args) {
  // The check comes first: a bad argument list is reported whatever the buffer.
  if (!ValidateLogArguments(kCheckLevel, format, args, 0, nullptr, true)) return 0;
  if (buffer == nullptr || capacity < 1) return -1;
  va_list copy;
  va_copy(copy, args);
  const int result = FormatBounded(buffer, static_cast<size_t>(capacity) - 1, format, copy);
  va_end(copy);
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
