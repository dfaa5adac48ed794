// On Windows the machine is the real one: no emulated machine to choose and
// none of its commands.
#include <string>

#include "tools/setup_commands.h"

namespace kvtr::setup {

const char* MachineCommandsUsage() { return ""; }
const char* MachineOptionsUsage() { return ""; }

int UseMachine(const char*) { return Usage("--prefix is for the emulated machine on Linux"); }

int RunMachineCommand(const std::string&, const std::string&, int, char**, int, bool& handled) {
  handled = false;
  return 0;
}

}  // namespace kvtr::setup
