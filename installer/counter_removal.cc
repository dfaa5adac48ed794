#include "installer/counter_removal.h"

#include "installer/qel_wmi.h"

namespace kvtr::installer {

int UnInstRouter() {
  qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_Zorvane_Router_Client"), CurrentHostLog());
  qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_Zorvane_Router_Session"), CurrentHostLog());
  return -5;
}

int UnInstAgent() {
  return qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_Zorvane_Agent"), CurrentHostLog()) ? -3 : -1;
}

}  // namespace kvtr::installer
