// Bounded printf-style formatting with the Microsoft CRT's conventions
// (_vsnwprintf / _vsnprintf), for wide and narrow text alike.
//
// At most `count` characters are written. A shorter text is terminated and
// its length returned; a text of exactly `count` characters is written
// without a terminator and `count` returned; a longer one is cut to `count`
// characters (no terminator) and -1 returned. A null buffer with a count of
// 0 only measures: the length is returned. An invalid conversion ends the
// formatting: what was written stays, a terminator follows when there is
// room, and the result is -1.
//
// Conventions: in a wide format %s/%c take wide text, %S/%C narrow; in a
// narrow format the reverse; %hs/%hc are always narrow and %ls/%lc/%ws/%wc
// always wide. Text of the other width is converted through the ANSI code
// page. l is 32-bit (like LONG), I64/ll/j 64-bit, I/z/t pointer-sized; long
// double is taken as double. %p prints upper-case hex digits to the pointer
// width. %n takes its pointer and never writes through it.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/wide.h"

namespace kvtr::format {

int FormatBounded(wchar* buffer, size_t count, const wchar* format, va_list args);
int FormatBounded(char* buffer, size_t count, const char* format, va_list args);

int FormatBoundedF(wchar* buffer, size_t count, const wchar* format, ...);
int FormatBoundedF(char* buffer, size_t count, const char* format, ...);

}  // namespace kvtr::format
