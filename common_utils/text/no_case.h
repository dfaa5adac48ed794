// The product's one comparison of names without regard to letter case.
// Narrow names (ANSI code page) fold the ASCII letters only; wide names are
// upper-cased by the system (CharUpperBuffW), as ToUpperInCodePage does, so
// é and É match too.
#pragma once

#include <string_view>

#include "platform/wide.h"

namespace kvtr::text {

// <0, 0 or >0 as `a` sorts before, with or after `b`, ASCII letters folded.
int CompareNoCase(std::string_view a, std::string_view b) noexcept;
inline bool EqualNoCase(std::string_view a, std::string_view b) noexcept { return CompareNoCase(a, b) == 0; }

bool EqualNoCase(WStringView a, WStringView b);

// True when `needle` occurs in `haystack` with both upper-cased the same
// way; an empty needle always occurs.
bool ContainsNoCase(const WString& needle, const WString& haystack);

}  // namespace kvtr::text
