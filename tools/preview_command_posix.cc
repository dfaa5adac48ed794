// preview: runs an export on a copy of the emulated machine and reports
// what it changed there; the machine itself stays as it was.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/posix/emulation.h"
#include "tools/change_report.h"
#include "tools/machine_snapshot.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {

// Runs the export on a copy of the machine and reports what it changed
// there. The exit status is the export's result.
int RunPreview(const std::string& libraryPath, int argc, char** argv, int at) {
  const bool json = at < argc && std::strcmp(argv[at], "--json") == 0;
  if (json) ++at;
  if (at >= argc) return Usage("preview [--json] COMMAND [ARGUMENTS]");
  int status = 0;
  const Command* command = FindCommand(argv[at], argc - at - 1, &status);
  if (command == nullptr) return status;
  const char* argument = argc - at - 1 == 1 ? argv[at + 1] : nullptr;

  char pattern[] = "/tmp/kvtr-preview-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::fprintf(stderr, "kvtr-setup: cannot make a folder for the copy of the machine\n");
    return 1;
  }
  const std::string scratch = pattern;
  const std::string copy = scratch + "/machine";
  const std::string original = KvtrEmu_Prefix();
  std::error_code error;
  // Links are copied as links: one to a host folder is not followed.
  std::filesystem::copy(original, copy,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, error);
  std::string problem;
  if (error) problem = "cannot copy " + original + ": " + error.message();
  MachineSnapshot before, after;
  MachineChanges changes;
  changes.command = argv[at];
  if (argument != nullptr) changes.command += std::string(" ") + argument;
  int result = 0;
  if (problem.empty() && KvtrEmu_UsePrefix(copy.c_str())) {
    setenv("KVTR_PREFIX", copy.c_str(), 1);
    if (TakeSnapshot(scratch, before, problem)) {
      // With --json, standard output carries the report alone: what the
      // export's helpers print (the MOF compiler's progress) goes to
      // standard error meanwhile.
      int kept = -1;
      if (json) {
        std::fflush(stdout);
        kept = dup(1);
        if (kept >= 0) dup2(2, 1);
      }
      const bool ran = CallExport(libraryPath, *command, argument, result, json ? &changes.reports : nullptr);
      if (json) {
        std::fflush(stdout);
        if (kept >= 0) {
          dup2(kept, 1);
          close(kept);
        }
      }
      if (!ran) problem = "the export did not run";
      if (ran && TakeSnapshot(scratch, after, problem)) {
        changes.result = result;
        CompareSnapshots(before, after, changes);
      }
    }
  } else if (problem.empty()) {
    problem = "cannot use the copy " + copy;
  }
  // The copy goes; the machine itself was never touched.
  KvtrEmu_UsePrefix(original.c_str());
  std::filesystem::remove_all(scratch, error);
  if (!changes.result) {
    std::fprintf(stderr, "kvtr-setup: preview of %s: %s\n", changes.command.c_str(), problem.c_str());
    return 1;
  }
  const std::string report = json ? JsonReport(changes) : TextReport(changes);
  if (!json) std::fputs("\n", stdout);
  std::fputs(report.c_str(), stdout);
  return result;
}

}  // namespace kvtr::setup
