// Removing one service's counter names and help texts from the perflib
// "Counter" and "Help" lists of every language, then its "Performance" key.
#pragma once

#include "common_utils/registry/registry.h"
#include "platform/win32.h"

namespace kvtr::installer {

// 0 handled; -1 the Perflib key cannot be opened for writing; -2 the
// service's "Performance" key cannot be found (also when its path does not
// fit the 100-character path buffer); -3 no service name.
int UnInstOldCounters(const WCHAR* serviceName);

// Removes the index/text pairs from `first` to `last` (step 2) from the
// chosen list of every language subkey of the open Perflib key. A list is
// written back only when its range was found; entries after the range are
// never erased.
void RemovePerflibTexts(registry::Registry& perflib, bool counterList, DWORD first, DWORD last);

// The positions [start, end) of a list that hold the range: the start
// marker is looked for among every second entry counted back from the
// next-to-last, the range ends at the end marker (last + 2) or at the first
// index entry that is not part of the range. False when there is no start.
bool FindPerflibRange(const std::vector<WString>& list, DWORD first, DWORD last, size_t& start, size_t& end);

}  // namespace kvtr::installer
