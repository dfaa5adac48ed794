#include "installer/counter_installation.h"

#include <cstring>
#include <exception>

#include "common_utils/paths/path_functions.h"
#include "common_utils/report/host_log.h"
#include "common_utils/runtime/guarded_region.h"
#include "installer/qel_wmi.h"

namespace kvtr::installer {
namespace {

constexpr const WCHAR* kRouterClientMof = W("RouterClientPerf.mof");
constexpr const WCHAR* kRouterSessionMof = W("RouterSessionPerf.mof");
constexpr const WCHAR* kAgentMof = W("AgentWMIPerf.mof");

// Reads the host executable's path into `buffer` (zero-filled, `capacity`
// units passed). A path the call had to cut (the result equals the
// capacity) is a failure too: its directory would be wrong.
bool ReadExecutablePath(WCHAR* buffer, DWORD capacity, const char* function) {
  const DWORD length = GetModuleFileNameW(nullptr, buffer, capacity);
  if (length != 0 && length < capacity) return true;
  SystemErrorText error(GetLastError(), kUserDefaultLanguage);
  ReportToHost(CurrentHostLog(), kLevelFailure, function, __LINE__, &g_exportsContext,
               W("Cannot get module name, the function returns: error %s (%d)"), error.text(), error.code());
  return false;
}

bool ReportMissingDirectory(const WCHAR* directory, const char* function) {
  if (directory == nullptr || DirectoryExists(directory)) return false;
  ReportToHost(CurrentHostLog(), kLevelFailure, function, __LINE__, &g_exportsContext, W("Cannot find path : [%s]"),
               directory);
  return true;
}

}  // namespace

WString MofPath(const WString& base, const WCHAR* fileName) { return EnsureTrailingBackslash(base) + fileName; }

int InstRouter(const WCHAR* directory) {
  constexpr const char* kFunction = "InstRouter";
  if (ReportMissingDirectory(directory, kFunction)) return -5;
  WCHAR executable[kPathUnits + 1];
  std::memset(executable, 0, sizeof executable);
  if (!ReadExecutablePath(executable, kPathUnits, kFunction)) return -1;
  const WString base = directory != nullptr ? WString(directory) : GetDirectoryOfPath(executable);
  const WString clientPath = MofPath(base, kRouterClientMof);
  const WString sessionPath = MofPath(base, kRouterSessionMof);
  // The compilations and their reports form one region: an exception, or a
  // processor fault (reported as an exception of another kind), ends it.
  // The failure reports are themselves guarded: the host callback may be
  // what failed.
  int result = 0;
  try {
    const bool completed = runtime::Guarded([&] {
      if (!qel_wmi::CompileMOFile(clientPath.c_str())) {
        ReportToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                     W("Could not add preformance counters from %s"), clientPath.c_str());
        result = -2;
        return;
      }
      if (!qel_wmi::CompileMOFile(sessionPath.c_str())) {
        ReportToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                     W("Could not add preformance counters from %s"), sessionPath.c_str());
        result = -3;
      }
    });
    if (completed) return result;
  } catch (const std::exception& failure) {
    ReportFailureToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                        W("Cannot uninstall MOF file [%s][%s] due to an exception : %hs"), clientPath.c_str(),
                        sessionPath.c_str(), failure.what());
    return -4;
  } catch (...) {
  }
  ReportFailureToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                      W("Unknown exception on : [%s][%s]"), clientPath.c_str(), sessionPath.c_str());
  return -5;
}

int InstAgent(const WCHAR* directory) {
  constexpr const char* kFunction = "InstAgent";
  if (ReportMissingDirectory(directory, kFunction)) return -5;
  WCHAR executable[kPathUnits];
  std::memset(executable, 0, sizeof executable);
  if (!ReadExecutablePath(executable, kPathUnits - 1, kFunction)) return -1;
  const WString base = directory != nullptr ? WString(directory) : GetDirectoryOfPath(executable);
  const WString agentPath = MofPath(base, kAgentMof);
  if (!qel_wmi::CompileMOFile(agentPath.c_str())) {
    ReportToHost(CurrentHostLog(), kLevelFailure, kFunction, __LINE__, &g_exportsContext,
                 W("Could not add preformance counters from %s"), agentPath.c_str());
    return -1;
  }
  return 0;
}

}  // namespace kvtr::installer
