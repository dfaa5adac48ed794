// The commands of kvtr-setup, one group per file: the exports (with the
// reports they make), diff, env and, on the emulated machine only, reg,
// wmi, eventlog, path and preview. main (kvtr_setup.cc) reads the options
// and hands the command line on.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::setup {

constexpr int kUsageError = 2;

// Prints the problem (if any) and the usage text; the exit status of a
// usage error, or 0 for --help.
int Usage(const char* problem);
// The commands that exist only on the emulated machine, for the usage text
// (empty on Windows).
const char* MachineCommandsUsage();
const char* MachineOptionsUsage();

// ---- exports (export_commands.cc) ----
// The host's logging callback: one line per report ("[level]
// function:line: message", line ends inside the message made blanks), on
// standard output or kept for a report of its own.
extern "C" void __cdecl PrintReport(int level, void*, void*, void*, const WCHAR* message, const char* function,
                                    int line, void* context);
struct Command {
  const char* name;
  const char* exportName;
  enum { kNone, kOptionalDirectory, kRequiredService } argument;
};
bool IsExportCommand(const std::string& name);
// The export `name` names with `count` arguments; null (after the usage
// text, whose status lands in *status) when there is none or the arguments
// do not fit.
const Command* FindCommand(const std::string& name, int count, int* status);
// Calls the export with the host's callback and COM set up; false (with
// the reason on standard error) when the library or the export cannot be
// found. Reports go to standard output, or into `kept` when given.
bool CallExport(const std::string& libraryPath, const Command& command, const char* argument, int& result,
                std::vector<std::string>* kept = nullptr);
// Writes the backup first when asked, runs the export and prints its result.
int RunExport(const std::string& libraryPath, const Command& command, const char* argument, const std::string& backup);
std::string DefaultLibrary();

// ---- diff_command.cc, env_command.cc ----
int RunDiff(int argc, char** argv, int at);
int RunEnvironmentReport();

// ---- the emulated machine (machine_commands_posix.cc; none on Windows) ----
// Makes DIR the machine the commands work on: 0, or the exit status after
// the reason was printed.
int UseMachine(const char* directory);
// Runs a machine command; false in `handled` when `name` is none.
int RunMachineCommand(const std::string& name, const std::string& libraryPath, int argc, char** argv, int at,
                      bool& handled);
// The commands, each with the arguments after its name from argv[at] on.
int RunRegistry(int argc, char** argv, int at);
int RunWmi(int argc, char** argv, int at);
int RunEventLog();
int RunPreview(const std::string& libraryPath, int argc, char** argv, int at);

}  // namespace kvtr::setup
