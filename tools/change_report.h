// The report of what a command changed on a machine (preview) or what
// differs between two registry exports (diff): for a person, grouped by
// key with the shared lists first, or as JSON for a program.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/reg_diff.h"

namespace kvtr::setup {

struct MachineChanges {
  std::string command;                // the previewed command line; empty for a diff
  std::vector<std::string> reports;   // the export's reports, as the host prints them
  std::optional<int> result;          // the export's result
  std::vector<KeyChange> registry;
  std::vector<std::string> filesCreated, filesDeleted;      // Windows paths
  std::vector<std::string> classesCreated, classesDeleted;  // "namespace:class"
  std::vector<WString> autorecoverBefore, autorecoverAfter;
};

inline constexpr const char* kCimomKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\WBEM\\CIMOM";
inline constexpr const char* kAutorecoverValue = "Autorecover MOFs";

// The autorecover list of an image (empty when it has none).
std::vector<WString> AutorecoverList(const RegImage& image);

std::string TextReport(const MachineChanges& changes);
std::string JsonReport(const MachineChanges& changes);

}  // namespace kvtr::setup
