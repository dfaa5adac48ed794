// POSIX platform layer: the baseline machine, the keys a fresh Windows
// installation has where the library reads. The seeds are .reg files kept in
// platform/posix/seed/ and built into the layer; each is applied at most once
// to a machine, when the machine lacks its top key, and the machine records
// that it considered it. Only registry tree work here: no file access (the
// tree's load and save do that) and no Reg* functions.
#include "registry_seed.h"

#include <cstdio>

namespace kvtr::posix {
namespace {

const WString& RecordPath() {
  static const WString path = WidenAscii(kSeedRecordPath);
  return path;
}

// The record key below HKEY_LOCAL_MACHINE, created with its missing parents.
std::shared_ptr<RegKey> EnsureRecordKey(RegistryTree& tree) {
  return EnsureKeyPath(tree.LoadedRoot(RootId::kLocalMachine), RecordPath());
}

bool Considered(RegKey* record, const SeedFile& seed) {
  return record != nullptr && record->FindValue(WidenAscii(seed.name)) != nullptr;
}


}  // namespace

bool SeedTopKey(std::string_view text, RootId& root, WString& path) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') continue;
    line = line.substr(1, line.size() - 2);
    const size_t slash = line.find('\\');
    const std::string_view head = line.substr(0, slash);
    for (int i = 0; i < static_cast<int>(RootId::kCount); ++i) {
      if (!EqualNoCase(WidenAscii(head), WidenAscii(RootName(static_cast<RootId>(i))))) continue;
      root = static_cast<RootId>(i);
      path = slash == std::string_view::npos ? WString() : Utf8ToUtf16(line.substr(slash + 1));
      return true;
    }
    return false;
  }
  return false;
}

bool SeedsPending(RegistryTree& tree) {
  const std::shared_ptr<RegKey> record = RegistryTree::Find(tree.LoadedRoot(RootId::kLocalMachine), RecordPath());
  for (size_t i = 0; i < kSeedFileCount; ++i) {
    if (!Considered(record.get(), kSeedFiles[i])) return true;
  }
  return false;
}

void ApplyPendingSeeds(RegistryTree& tree) {
  const std::shared_ptr<RegKey> record = EnsureRecordKey(tree);
  for (size_t i = 0; i < kSeedFileCount; ++i) {
    const SeedFile& seed = kSeedFiles[i];
    if (Considered(record.get(), seed)) continue;
    const std::string_view text(seed.text, seed.size);
    RootId root = RootId::kLocalMachine;
    WString top;
    if (SeedTopKey(text, root, top) && !RegistryTree::Find(tree.LoadedRoot(root), top)) {
      const RegImportResult result = ImportRegText(tree, text, /*replace=*/false);
      if (!result.ok) {
        std::fprintf(stderr, "kvtr: seed %s line %d: %s\n", seed.name, result.line, result.message.c_str());
      }
    }
    RegValue considered;
    considered.name = WidenAscii(seed.name);
    considered.type = REG_DWORD;
    considered.data = {1, 0, 0, 0};
    record->values.push_back(std::move(considered));
    record->lastWrite = CurrentFileTime();
  }
}

}  // namespace kvtr::posix
