// Removing one COM class registration: the class's key under
// HKEY_LOCAL_MACHINE\Software\Classes\CLSID with everything below it.
#include <cstring>

#include "common_utils/format/bounded_format.h"
#include "common_utils/registry/registry.h"
#include "installer/qel_wmi.h"

namespace qel_wmi {

bool UnregisterCOM(const GUID& classId, HostLogCallback callback) {
  WCHAR identifier[128];
  std::memset(identifier, 0, sizeof identifier);
  StringFromGUID2(classId, identifier, 127);
  if (identifier[0] == 0) {
    kvtr::installer::ReportToHost(callback, kvtr::installer::kLevelFailure, "qel_wmi::UnregisterCOM", __LINE__,
                                  &kvtr::installer::g_wmiContext, W("Wrong guid: %s"), identifier);
    return false;
  }
  WCHAR path[256];
  std::memset(path, 0, sizeof path);
  kvtr::format::FormatBoundedF(path, 255, W("Software\\Classes\\CLSID\\%s"), identifier);
  kvtr::registry::Registry key(HKEY_LOCAL_MACHINE, "", kvtr::registry::Registry::kNoNameCache);
  return key.DeleteKey(path);
}

}  // namespace qel_wmi
