#include "installer/perf_class_table.h"

namespace kvtr::installer {
namespace {

int FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

bool EqualNoCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (FoldAscii(static_cast<unsigned char>(*a)) != FoldAscii(static_cast<unsigned char>(*b))) return false;
  }
  return *a == *b;
}

}  // namespace

const PerfClass kPerfClassTable[4] = {
    {"Win32_PerfRawData_Zorvane_Router_Session", "RouterSessionPerf.mof"},
    {"Win32_PerfRawData_Zorvane_Router_Client", "RouterClientPerf.mof"},
    {"Win32_PerfRawData_Zorvane_Agent", "AgentWMIPerf.mof"},
    {"Win32_Zorvane_counter", "ZMSI_WMI.mof"},
};

const PerfClass* FindPerfClass(const char* className) {
  if (className == nullptr) return nullptr;
  for (const PerfClass& row : kPerfClassTable) {
    if (EqualNoCase(row.className, className)) return &row;
  }
  return nullptr;
}

}  // namespace kvtr::installer
