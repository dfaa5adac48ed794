// What a preview compares (Linux, the emulated machine): the persisted
// registry, the files under the drives and the WMI classes of a prefix.
#pragma once

#include <set>
#include <string>

#include "tools/change_report.h"

namespace kvtr::setup {

struct MachineSnapshot {
  RegImage registry;
  std::set<std::string> files;    // Windows paths of the files under the drives
  std::set<std::string> classes;  // "namespace:class"
};

// The machine the layer uses now; `scratch` is a folder for the export.
bool TakeSnapshot(const std::string& scratch, MachineSnapshot& snapshot, std::string& error);

// `changes` gets what differs from `before` to `after`.
void CompareSnapshots(const MachineSnapshot& before, const MachineSnapshot& after, MachineChanges& changes);

}  // namespace kvtr::setup
