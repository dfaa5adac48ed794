// What changed between two registry images: keys added and removed, values
// added, removed and changed, and for multi-string values the entries
// removed and added, by entry and position.
#pragma once

#include <optional>
#include <vector>

#include "tools/reg_model.h"

namespace kvtr::setup {

enum class Change { kAdded, kRemoved, kChanged };

struct EntryChange {
  Change change = Change::kAdded;  // kAdded or kRemoved
  size_t position = 0;             // in the list before (removed) or after (added), from 0
  WString entry;
};

struct ValueChange {
  Change change = Change::kChanged;
  WString name;
  std::optional<RegEntry> before, after;
  std::vector<EntryChange> entries;  // both multi-strings: the entries that differ
};

struct KeyChange {
  Change change = Change::kChanged;
  WString path;
  bool shared = false;  // one of the lists several products share
  std::vector<ValueChange> values;
};

// The keys several products share, which a setup must leave as it found
// them but for its own entries: the WMI autorecover list, the Perflib
// language lists and SharedDLLs. Their changes come first in a report.
bool IsSharedKey(const WString& path);

// Shared keys first, then the others by path.
std::vector<KeyChange> DiffImages(const RegImage& before, const RegImage& after);

// The entries removed from `before` and added in `after`, aligned on the
// longest run they have in common.
std::vector<EntryChange> DiffEntries(const std::vector<WString>& before, const std::vector<WString>& after);

}  // namespace kvtr::setup
