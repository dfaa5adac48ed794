// Taking a performance class's MOF file off the WMI autorecover list, the
// list of MOF files WMI compiles again when it rebuilds its repository.
#include <vector>

#include "common_utils/registry/registry.h"
#include "common_utils/text/conversions.h"
#include "common_utils/text/no_case.h"
#include "installer/perf_class_table.h"
#include "installer/qel_wmi.h"

namespace {

using kvtr::installer::g_wmiContext;

constexpr const char* kFunction = "RemoveClassFromRegistry";
constexpr const char* kCimomKey = "SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr const WCHAR* kAutorecoverValue = W("Autorecover MOFs");

}  // namespace

bool RemoveClassFromRegistry(const char* className, qel_wmi::HostLogCallback callback) {
  if (className == nullptr || className[0] == 0) {
    kvtr::installer::ReportLiteralToHost(callback, kvtr::installer::kLevelFailure, kFunction, __LINE__, &g_wmiContext,
                                         W("Class name is empty"));
    return false;
  }
  const kvtr::installer::PerfClass* row = kvtr::installer::FindPerfClass(className);
  if (row == nullptr) {
    if (kvtr::installer::IsHostLogUsable(callback)) {
      kvtr::WString wideName;
      const bool converted = kvtr::text::WidenWithThreadCodePage(className, wideName);
      kvtr::installer::ReportToHost(callback, kvtr::installer::kLevelUnknownClass, kFunction, __LINE__, &g_wmiContext,
                                    W("Unknown class name: [%s]"), converted ? wideName.c_str() : nullptr);
    }
    return false;
  }

  kvtr::registry::Registry key("HKEY_LOCAL_MACHINE", kvtr::registry::Registry::kLocalMachine,
                               kvtr::registry::Registry::kNoNameCache);
  if (!key.Open(kCimomKey, /*forWrite=*/true)) return true;
  std::vector<kvtr::WString> entries;
  if (!key.GetMultiString(kAutorecoverValue, entries)) {
    key.Close();
    return true;
  }
  // Without the file name every entry would match and the whole shared
  // list would go: a failed conversion leaves it as it is.
  kvtr::WString mofName;
  if (!kvtr::text::WidenWithThreadCodePage(row->mofFileName, mofName) || mofName.empty()) {
    key.Close();
    return false;
  }
  std::vector<kvtr::WString> remaining;
  for (const kvtr::WString& entry : entries) {
    if (!kvtr::text::ContainsNoCase(mofName, entry)) remaining.push_back(entry);
  }
  bool result = true;
  if (remaining.size() < entries.size()) result = key.SetMultiString(kAutorecoverValue, remaining);
  key.Close();
  return result;
}
