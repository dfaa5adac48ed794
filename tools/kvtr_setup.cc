// kvtr-setup: the host program. It loads the library at run time as a
// setup program does, installs a logging callback, initialises COM on its
// thread and runs one export per command, printing every report and, last,
// the export's result. On Linux it also works on the emulated machine:
// imports and exports .reg files, lists its WMI classes and event log, and
// previews what an export would change.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/setup_commands.h"

namespace kvtr::setup {

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kvtr-setup: %s\n", problem);
  FILE* const out = problem != nullptr ? stderr : stdout;
  std::fputs(
      "usage: kvtr-setup [--prefix DIR] [--library PATH] COMMAND [ARGUMENTS]\n"
      "\n"
      "Runs one export of the kvtr library, printing every report it makes\n"
      "(level, function, line, message) and then \"result: N\".\n"
      "\n"
      "commands:\n"
      "  install-router [DIR]            compile the router's MOF files (InstRouter)\n"
      "  install-agent [DIR]             compile the agent's MOF file (InstAgent)\n"
      "  uninstall-router                delete the router's classes (UnInstRouter)\n"
      "  uninstall-agent                 delete the agent's class (UnInstAgent)\n"
      "  remove-old-counters             remove the legacy performance DLLs (RemoveOldCounters)\n"
      "  uninstall-old-counters SERVICE  remove a service's perflib counter names (UnInstOldCounters)\n"
      "  env                             write the environment report of this machine\n"
      "  diff [--json] BEFORE.reg AFTER.reg\n"
      "                                  what differs between two registry exports\n",
      out);
  std::fputs(MachineCommandsUsage(), out);
  std::fputs("\noptions:\n", out);
  std::fputs(MachineOptionsUsage(), out);
  std::fputs(
      "  --library PATH   the library to load (default: the one built with this program)\n"
      "  --backup FILE    before an export runs, write the keys it may change to FILE,\n"
      "                   a .reg file that puts them back when imported\n"
      "  --help           show this text\n",
      out);
  return problem != nullptr ? kUsageError : 0;
}

}  // namespace kvtr::setup

int main(int argc, char** argv) {
  using namespace kvtr::setup;
  std::string library = DefaultLibrary();
  std::string backup;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    const std::string option = argv[at];
    if (option == "--help") return Usage(nullptr);
    if (option == "--library" && at + 1 < argc) {
      library = argv[++at];
    } else if (option == "--backup" && at + 1 < argc) {
      backup = argv[++at];
    } else if (option == "--prefix" && at + 1 < argc) {
      if (const int status = UseMachine(argv[++at]); status != 0) return status;
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }
  if (at >= argc) return Usage("no command");
  const std::string name = argv[at];
  const int arguments = argc - at - 1;
  if (!backup.empty() && !IsExportCommand(name)) return Usage("--backup goes with an export command");
  if (name == "env") return arguments == 0 ? RunEnvironmentReport() : Usage("env takes no arguments");
  if (name == "diff") return RunDiff(argc, argv, at + 1);
  bool handled = false;
  const int machineStatus = RunMachineCommand(name, library, argc, argv, at + 1, handled);
  if (handled) return machineStatus;
  int status = 0;
  const Command* command = FindCommand(name, arguments, &status);
  if (command == nullptr) return status;
  return RunExport(library, *command, arguments == 1 ? argv[at + 1] : nullptr, backup);
}
