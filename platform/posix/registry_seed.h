// POSIX platform layer: the baseline machine. A machine starts from the seed
// .reg files of platform/posix/seed/, which the build turns into data of the
// layer (seed_files.cc, made by cmake/EmbedSeeds.cmake). Used by the
// registry tree when it loads a prefix.
#pragma once

#include <cstddef>
#include <string_view>

#include "registry_tree.h"

namespace kvtr::posix {

struct SeedFile {
  const char* name;  // the file's name without ".reg"
  const char* text;  // the file's bytes, `size` of them, not terminated
  size_t size;
};
extern const SeedFile kSeedFiles[];
extern const size_t kSeedFileCount;

// Below HKEY_LOCAL_MACHINE: one REG_DWORD per seed the machine has
// considered, named after the seed.
inline constexpr const char* kSeedRecordPath = "SOFTWARE\\kvtr-emulation\\Seeds";

// True when the loaded tree has not yet considered some seed. Two lookups
// in memory: cheap enough for every load.
bool SeedsPending(RegistryTree& tree);

// Considers every pending seed once: it is applied when the machine lacks
// its top key (the file's first key) and left out when the machine has that
// key already, whatever it holds; it is recorded either way, so that what a
// user later does with those keys (deleting them included) stays as the
// user left it. Changes only the loaded tree; the caller saves.
void ApplyPendingSeeds(RegistryTree& tree);

// The persisted root and the path of the first key a seed's text names;
// false when it names none or one outside the persisted roots.
bool SeedTopKey(std::string_view text, RootId& root, WString& path);

}  // namespace kvtr::posix
