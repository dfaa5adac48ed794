#include "installer/legacy_counters.h"

#include <cstring>
#include <string>
#include <vector>

#include "common_utils/paths/path_functions.h"
#include "common_utils/registry/registry.h"
#include "common_utils/text/conversions.h"
#include "common_utils/text/no_case.h"
#include "installer/component_lookup.h"
#include "installer/qel_wmi.h"

namespace {

using kvtr::WString;
using kvtr::installer::g_wmiContext;
using kvtr::installer::HostLogCallback;
using kvtr::installer::kFoundPathBytes;
using kvtr::installer::kLevelCleanupStep;
using kvtr::installer::ReportLiteralToHost;
using kvtr::installer::ReportToHost;
using kvtr::registry::Registry;

struct Procedure {
  const char* function;
  const char* dllName;
  const WCHAR* componentReport;
  const char* serviceKeys[3];
  GUID classId;
  const WCHAR* comReport;
};

const Procedure kRouter = {
    "qel_wmi::RemoveOldRouterCounters",
    "ZorvaneRouterPerf.dll",
    W("Delete ZorvaneRouterPerf.dll from [%s]"),
    {"SYSTEM\\ControlSet001\\Services\\Zorvane Router\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Zorvane Router\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance"},
    {0x3C7E1A52, 0x8B40, 0x4F1D, {0x9E, 0x26, 0x71, 0xA0, 0xC4, 0xD5, 0xB8, 0xE3}},
    W("Removed COM registration of ZorvaneRouterPerf.dll"),
};

const Procedure kAgent = {
    "qel_wmi::RemoveOldAgentCounters",
    "QMTPerfInfo.dll",
    W("Delete QMTPerfInfo.dll from [%s]"),
    {"SYSTEM\\ControlSet001\\Services\\Zorvane Server\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Zorvane Server\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\Performance"},
    {0x5D0B9F27, 0x6E13, 0x4A8C, {0xB7, 0xF4, 0x2C, 0x39, 0xE8, 0xA1, 0xD0, 0x64}},
    W("Removed COM registration of QMTPerfInfo.dll"),
};

constexpr const WCHAR* kRouterDllPath = W("C:\\Program Files\\Kestovar\\Zorvanex\\Router\\ZorvaneRouterPerf.dll");
constexpr const WCHAR* kAgentDllExpandable = W("%windir%\\system32\\QMTPerfInfo.dll");
constexpr const WCHAR* kAgentDllPath = W("C:\\Windows\\system32\\QMTPerfInfo.dll");
constexpr const char* kSharedDlls = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

WString Widen(const char* narrow) { return kvtr::text::ToWideString(narrow, -1); }

void ReportKeyPath(HostLogCallback callback, const char* function, const char* path) {
  if (!kvtr::installer::IsHostLogUsable(callback)) return;
  const WString wide = Widen(path);
  ReportToHost(callback, kLevelCleanupStep, function, __LINE__, &g_wmiContext, W("%s\n"), wide.c_str());
}

void DeleteServiceKeys(const Procedure& procedure, HostLogCallback callback) {
  for (const char* path : procedure.serviceKeys) {
    Registry key("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
    if (key.DeleteKey(path)) ReportKeyPath(callback, procedure.function, path);
  }
}

// The steps both procedures begin with: the installer component record
// (which gives the DLL's recorded path) and the three service keys.
void RemoveRecordsAndServiceKeys(const Procedure& procedure, HostLogCallback callback, char* foundPath) {
  std::memset(foundPath, 0, kFoundPathBytes);
  kvtr::installer::RemoveComponentRegistration(procedure.dllName, procedure.function, procedure.componentReport,
                                               callback, foundPath);
  DeleteServiceKeys(procedure, callback);
}

// Reports the fixed path that could not be deleted with the error of that
// deletion.
void ReportUndeletable(HostLogCallback callback, const char* function, const WCHAR* path, DWORD error) {
  kvtr::installer::SystemErrorText text(error, kvtr::installer::kUserDefaultLanguage);
  ReportToHost(callback, kLevelCleanupStep, function, __LINE__, &g_wmiContext, W("Cannot delete: %s, %d: %s"), path,
               text.code(), text.text());
}

// The shared-DLL list counts how many products use each shared file. Only
// the values naming the legacy agent DLL (its recorded path and its two
// system paths) are removed; the key and every other file's value stay.
void RemoveSharedDllEntries(HostLogCallback callback, const char* foundPath) {
  std::vector<WString> agentPaths;
  if (foundPath[0] != 0) agentPaths.push_back(Widen(foundPath));
  WCHAR expanded[kvtr::installer::kPathUnits];
  std::memset(expanded, 0, sizeof expanded);
  if (kvtr::installer::ExpandFullPath(kAgentDllExpandable, expanded, kvtr::installer::kPathUnits)) {
    agentPaths.push_back(expanded);
  }
  agentPaths.push_back(kAgentDllPath);

  Registry key("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
  if (!key.Open(kSharedDlls, /*forWrite=*/true)) {
    // A machine without the list has nothing of the DLL on it.
    if (key.lastError() == ERROR_FILE_NOT_FOUND) ReportKeyPath(callback, kAgent.function, kSharedDlls);
    return;
  }
  DWORD count = 0;
  if (!key.GetValueCount(&count)) return;
  std::vector<std::string> doomed;
  for (DWORD index = 0; index < count; ++index) {
    char name[kvtr::installer::kPathUnits];
    std::memset(name, 0, sizeof name);
    if (!key.EnumValueName(index, name, sizeof name)) continue;
    const WString wideName = Widen(name);
    for (const WString& path : agentPaths) {
      if (kvtr::text::EqualNoCase(path, wideName)) {
        doomed.push_back(name);
        break;
      }
    }
  }
  bool removed = true;
  for (const std::string& name : doomed) {
    const WString wideName = Widen(name.c_str());
    removed = key.DeleteValue(wideName.c_str()) && removed;
  }
  key.Close();
  if (removed) ReportKeyPath(callback, kAgent.function, kSharedDlls);
}

}  // namespace

namespace qel_wmi {

bool RemoveOldRouterCounters() {
  const HostLogCallback callback = kvtr::installer::CurrentHostLog();
  char foundPath[kFoundPathBytes];
  RemoveRecordsAndServiceKeys(kRouter, callback, foundPath);
  if (!UnregisterCOM(kRouter.classId, callback)) return true;
  ReportLiteralToHost(callback, kLevelCleanupStep, kRouter.function, __LINE__, &g_wmiContext, kRouter.comReport);
  if (kvtr::installer::FileExistsA(foundPath)) {
    DeleteFileA(foundPath);
  } else if (!DeleteFileW(kRouterDllPath)) {
    ReportUndeletable(callback, kRouter.function, kRouterDllPath, GetLastError());
  }
  return true;
}

bool RemoveOldAgentCounters() {
  const HostLogCallback callback = kvtr::installer::CurrentHostLog();
  char foundPath[kFoundPathBytes];
  RemoveRecordsAndServiceKeys(kAgent, callback, foundPath);
  RemoveSharedDllEntries(callback, foundPath);
  if (UnregisterCOM(kAgent.classId, callback)) {
    ReportLiteralToHost(callback, kLevelCleanupStep, kAgent.function, __LINE__, &g_wmiContext, kAgent.comReport);
    if (kvtr::installer::FileExistsA(foundPath)) {
      DeleteFileA(foundPath);
    } else {
      WCHAR expanded[kvtr::installer::kPathUnits];
      std::memset(expanded, 0, sizeof expanded);
      kvtr::installer::ExpandFullPath(kAgentDllExpandable, expanded, kvtr::installer::kPathUnits);
      if (!DeleteFileW(expanded) && !DeleteFileW(kAgentDllPath)) {
        const DWORD error = GetLastError();
        ReportToHost(callback, kLevelCleanupStep, kAgent.function, __LINE__, &g_wmiContext, W("Cannot delete: %s"),
                     expanded);
        ReportUndeletable(callback, kAgent.function, kAgentDllPath, error);
      }
    }
  }
  RemoveClassFromWBEM(W("Win32_PerfFormattedData_ZorvaneServer_WMIObjects"), callback);
  RemoveClassFromWBEM(W("Win32_PerfRawData_ZorvaneServer_WMIObjects"), callback);
  return true;
}

}  // namespace qel_wmi

namespace kvtr::installer {

int RemoveOldCounters() {
  qel_wmi::RemoveOldRouterCounters();
  qel_wmi::RemoveOldAgentCounters();
  return 0;
}

}  // namespace kvtr::installer
