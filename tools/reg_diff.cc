#include "tools/reg_diff.h"

#include <algorithm>

namespace kvtr::setup {
namespace {

bool Below(const WString& folded, const char* prefix) {
  const WString start = FoldedPath(FromUtf8Text(prefix));
  return folded.compare(0, start.size(), start) == 0 &&
         (folded.size() == start.size() || folded[start.size()] == '\\');
}

bool SameValue(const RegEntry& a, const RegEntry& b) { return a.type == b.type && a.data == b.data; }

ValueChange Compare(const RegEntry* before, const RegEntry* after) {
  ValueChange change;
  change.change = before == nullptr ? Change::kAdded : after == nullptr ? Change::kRemoved : Change::kChanged;
  change.name = before != nullptr ? before->name : after->name;
  if (before != nullptr) change.before = *before;
  if (after != nullptr) change.after = *after;
  if (before != nullptr && after != nullptr && before->type == REG_MULTI_SZ && after->type == REG_MULTI_SZ) {
    change.entries = DiffEntries(MultiStringEntries(before->data), MultiStringEntries(after->data));
  }
  return change;
}

}  // namespace

bool IsSharedKey(const WString& path) {
  const WString folded = FoldedPath(path);
  return Below(folded, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\WBEM\\CIMOM") ||
         Below(folded, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib") ||
         Below(folded, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
}

std::vector<EntryChange> DiffEntries(const std::vector<WString>& before, const std::vector<WString>& after) {
  // The common start and end are cut off first: a setup adds or removes
  // its own block of a long list, which leaves a short middle to align.
  size_t head = 0;
  while (head < before.size() && head < after.size() && before[head] == after[head]) ++head;
  size_t tail = 0;
  while (tail < before.size() - head && tail < after.size() - head &&
         before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
    ++tail;
  }
  const size_t n = before.size() - head - tail, m = after.size() - head - tail;
  std::vector<EntryChange> changes;
  if (n * m > 4'000'000) {
    // Too long a middle to align: all of it removed, then all of it added.
    for (size_t i = 0; i < n; ++i) changes.push_back({Change::kRemoved, head + i, before[head + i]});
    for (size_t j = 0; j < m; ++j) changes.push_back({Change::kAdded, head + j, after[head + j]});
    return changes;
  }
  // Longest common subsequence of the middles, by table.
  std::vector<std::vector<uint32_t>> common(n + 1, std::vector<uint32_t>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      common[i][j] = before[head + i] == after[head + j] ? common[i + 1][j + 1] + 1
                                                          : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && before[head + i] == after[head + j]) {
      ++i, ++j;
    } else if (j >= m || (i < n && common[i + 1][j] >= common[i][j + 1])) {
      changes.push_back({Change::kRemoved, head + i, before[head + i]});
      ++i;
    } else {
      changes.push_back({Change::kAdded, head + j, after[head + j]});
      ++j;
    }
  }
  return changes;
}

std::vector<KeyChange> DiffImages(const RegImage& before, const RegImage& after) {
  std::vector<KeyChange> changes;
  for (const auto& [folded, key] : before) {
    const auto found = after.find(folded);
    KeyChange change;
    change.path = key.path;
    change.shared = IsSharedKey(key.path);
    if (found == after.end()) {
      change.change = Change::kRemoved;
      for (const RegEntry& value : key.values) change.values.push_back(Compare(&value, nullptr));
      changes.push_back(std::move(change));
      continue;
    }
    change.change = Change::kChanged;
    for (const RegEntry& value : key.values) {
      const RegEntry* now = found->second.Find(value.name);
      if (now == nullptr || !SameValue(value, *now)) change.values.push_back(Compare(&value, now));
    }
    for (const RegEntry& value : found->second.values) {
      if (key.Find(value.name) == nullptr) change.values.push_back(Compare(nullptr, &value));
    }
    if (!change.values.empty()) changes.push_back(std::move(change));
  }
  for (const auto& [folded, key] : after) {
    if (before.count(folded) != 0) continue;
    KeyChange change;
    change.change = Change::kAdded;
    change.path = key.path;
    change.shared = IsSharedKey(key.path);
    for (const RegEntry& value : key.values) change.values.push_back(Compare(nullptr, &value));
    changes.push_back(std::move(change));
  }
  std::stable_sort(changes.begin(), changes.end(), [](const KeyChange& a, const KeyChange& b) {
    if (a.shared != b.shared) return a.shared;
    return FoldedPath(a.path) < FoldedPath(b.path);
  });
  return changes;
}

}  // namespace kvtr::setup
