// The commands that work on the emulated machine, and --prefix, which
// chooses it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix/emulation.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {

const char* MachineCommandsUsage() {
  return "  reg import FILE                 import a .reg file into the emulated registry\n"
         "  reg export FILE [KEY]           export the registry, or one key with its subtree\n"
         "  reg query KEY                   show the values of one key\n"
         "  reg compact                     fold the journal of changes into a new snapshot\n"
         "  wmi classes [NAMESPACE]         list the WMI classes (default root\\cimv2)\n"
         "  path WINDOWS-PATH               show where a Windows path lives on this machine\n"
         "  eventlog                        list the machine's event log, oldest first\n"
         "  preview [--json] COMMAND [ARGUMENTS]\n"
         "                                  run an export on a copy of the machine and show\n"
         "                                  what it would change; the machine stays as it was\n";
}

const char* MachineOptionsUsage() {
  return "  --prefix DIR     the emulated machine (default $KVTR_PREFIX, else ~/.kvtr)\n";
}

int UseMachine(const char* directory) {
  if (!KvtrEmu_UsePrefix(directory)) {
    std::fprintf(stderr, "kvtr-setup: cannot use %s as the machine's directory\n", directory);
    return 1;
  }
  // The MOF compiler and any child the export starts work on it too.
  setenv("KVTR_PREFIX", KvtrEmu_Prefix(), 1);
  return 0;
}

int RunMachineCommand(const std::string& name, const std::string& libraryPath, int argc, char** argv, int at,
                      bool& handled) {
  handled = true;
  const int arguments = argc - at;
  if (name == "reg") return RunRegistry(argc, argv, at);
  if (name == "preview") return RunPreview(libraryPath, argc, argv, at);
  if (name == "wmi") return RunWmi(argc, argv, at);
  if (name == "eventlog") return arguments == 0 ? RunEventLog() : Usage("eventlog takes no arguments");
  if (name == "path" && arguments == 1) {
    char host[4096];
    KvtrEmu_HostPath(FromUtf8Text(argv[at]).c_str(), host, sizeof host);
    std::printf("%s\n", host);
    return 0;
  }
  handled = false;
  return 0;
}

}  // namespace kvtr::setup
