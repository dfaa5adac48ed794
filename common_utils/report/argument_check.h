// The argument check run before a log entry is formatted: it walks the
// format exactly as the bounded formatter will and examines every argument
// the conversions will take, so that a bad pointer or a wrong argument list
// becomes a rejected entry instead of a crash in the formatter.
#pragma once

#include <cstdarg>

#include "platform/wide.h"

namespace kvtr::format {

// True when `format` is readable up to its terminator and every argument
// its conversions take is usable:
//   - value arguments: the argument's own storage in the list is readable;
//   - %n (int*): not null, and 4 bytes readable where it points;
//   - %p (void*): always;
//   - strings: null, or readable up to the terminator, however far it is
//     (the formatter reads a text whole; a text without a terminator in
//     its first 1024 characters is not accepted on those alone).
// The walk stops at the first unusable argument; a '%' without a valid
// conversion, and the length prefixes and conversions checked callers may
// not use (ll L z j t I32 I hh w, a A F), reject the entry too. Only h, l
// and I64 are allowed as prefixes.
//
// `wideConventions`: %s/%c take wide text and %S/%C narrow (as a wide
// format does); otherwise the reverse.
//
// `args` is only read (through a copy). A rejected entry is handed over with
// HandOverRejectedEntry; the accepted path does not allocate. Thread-safe.
bool ValidateLogArguments(int level, const wchar* format, va_list args, int eventId, const wchar* user,
                          bool wideConventions);

}  // namespace kvtr::format
