// The built-in Windows-1252 converter, used instead of the platform's
// conversion where a caller asks for it. The five bytes the standard leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) convert to U+FFFD.
#pragma once

#include <cstddef>

#include "platform/wide.h"

namespace kvtr::text {

wchar Windows1252ToWide(unsigned char byte) noexcept;
// A code point below 256 gives its own byte; others are looked up in the
// 0x80-0x9F table (so U+FFFD gives 0x81); anything else gives `fallback`.
char WideToWindows1252(wchar unit, char fallback = '?') noexcept;

// Converts `count` units (terminator included, if the caller counts it);
// the output holds one unit per input unit, so it cannot fail.
void Windows1252ToWide(const char* in, size_t count, wchar* out) noexcept;
void WideToWindows1252(const wchar* in, size_t count, char* out, char fallback = '?') noexcept;

}  // namespace kvtr::text
