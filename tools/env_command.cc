// env: the environment report of this machine, as the logger writes it at
// the top of a trace file: with Winsock started (as the logger's syslog
// output starts it) and the host's apartment-threaded COM.
#include <cstdio>
#include <string>

#include "common_utils/environment/report_environment.h"
#include "platform/handle_owners.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {

int RunEnvironmentReport() {
  WSADATA winsock{};
  const bool winsockStarted = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  {
    ScopedComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    environment::ReportEnvironment report(&PrintReport);
    report.ReportEnvironmentVersions();
  }
  if (winsockStarted) WSACleanup();
  std::fflush(stdout);
  return 0;
}

}  // namespace kvtr::setup
