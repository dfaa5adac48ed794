// Checked, bounded formatting of wide log text: the arguments are checked
// against the format first (ValidateLogArguments), and only an accepted
// entry is formatted.
#pragma once

#include <cstdarg>

#include "platform/wide.h"

namespace kvtr::format {

// Formats into `buffer` with wide conventions, writing at most capacity - 1
// characters and always a terminator at index capacity - 1 (and after a
// shorter text). Returns the number of characters written, or -1 when the
// text was cut (or nothing fits: no buffer or a capacity below 1). When the
// check rejects the arguments, returns 0 and leaves the buffer untouched;
// the rejected entry has been handed over (level 3, event id 0, no user).
int SafeFormat(wchar* buffer, int capacity, const wchar* format, ...);
int SafeFormatV(wchar* buffer, int capacity, const wchar* format, va_list args);

}  // namespace kvtr::format
