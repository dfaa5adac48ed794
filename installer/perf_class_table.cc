#include "installer/perf_class_table.h"

#include "common_utils/text/no_case.h"

namespace kvtr::installer {

const PerfClass kPerfClassTable[4] = {
    {"Win32_PerfRawData_Zorvane_Router_Session", "RouterSessionPerf.mof"},
    {"Win32_PerfRawData_Zorvane_Router_Client", "RouterClientPerf.mof"},
    {"Win32_PerfRawData_Zorvane_Agent", "AgentWMIPerf.mof"},
    {"Win32_Zorvane_counter", "ZMSI_WMI.mof"},
};

const PerfClass* FindPerfClass(const char* className) {
  if (className == nullptr) return nullptr;
  for (const PerfClass& row : kPerfClassTable) {
    if (kvtr::text::EqualNoCase(row.className, className)) return &row;
  }
  return nullptr;
}

}  // namespace kvtr::installer
