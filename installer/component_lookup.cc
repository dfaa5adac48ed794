#include "installer/component_lookup.h"

#include <cstring>
#include <string>

#include "common_utils/registry/registry.h"
#include "common_utils/text/conversions.h"

namespace kvtr::installer {
namespace {

using registry::Registry;

constexpr const char* kUserData = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr size_t kPathBytes = 260;

}  // namespace

void RemoveComponentRegistration(const char* dllName, const char* function, const WCHAR* reportFormat,
                                 HostLogCallback callback, char* foundPath) {
  Registry userData("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
  if (!userData.Open(kUserData, /*forWrite=*/false)) return;
  DWORD scopes = 0;
  if (!userData.GetSubKeyCount(&scopes) || scopes == 0) return;
  // Only the first scope is examined.
  Registry scope(Registry::kNoNameCache);
  if (!userData.OpenSubKey(0, scope)) return;
  const char* scopeName = scope.GetKeyName();
  if (scopeName == nullptr) return;
  const std::string listPath = std::string(kUserData) + "\\" + scopeName + "\\Components";
  // A path cut to its 260-byte buffer would name another key.
  if (listPath.size() >= kPathBytes) return;
  Registry components("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
  if (!components.Open(listPath.c_str(), /*forWrite=*/false)) return;
  DWORD count = 0;
  if (!components.GetSubKeyCount(&count)) return;

  for (DWORD index = 0; index < count; ++index) {
    Registry component(Registry::kNoNameCache);
    if (!components.OpenSubKey(index, component)) continue;
    const std::string componentPath = component.GetPath();
    DWORD values = 0;
    if (component.GetValueCount(&values)) {
      for (DWORD value = 0; value < values; ++value) {
        char name[kPathBytes];
        char data[kPathBytes];
        std::memset(name, 0, sizeof name);
        std::memset(data, 0, sizeof data);
        if (!component.EnumValueName(value, name, sizeof name)) continue;
        if (!component.GetString(name, data, sizeof data)) continue;
        if (std::strstr(data, dllName) == nullptr) continue;
        component.Close();
        Registry doomed("HKEY_LOCAL_MACHINE", Registry::kLocalMachine, Registry::kNoNameCache);
        if (!doomed.DeleteKey(componentPath.c_str())) break;  // skip the rest of this component
        if (IsHostLogUsable(callback)) {
          const WString widePath = text::ToWideString(componentPath, -1);
          ReportToHost(callback, kLevelCleanupStep, function, __LINE__, &g_wmiContext, reportFormat, widePath.c_str());
        }
        std::memcpy(foundPath, data, std::strlen(data) < kFoundPathBytes ? std::strlen(data) : kFoundPathBytes - 1);
        return;
      }
    }
    component.Close();
  }
}

}  // namespace kvtr::installer
