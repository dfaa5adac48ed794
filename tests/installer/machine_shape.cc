#include "installer/machine_shape.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

HKEY Create(const std::string& path) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
      << path;
  return key;
}

WString Number(DWORD value) { return WidenAscii(std::to_string(value)); }

std::string Bytes(const std::vector<WString>& entries) {
  std::string bytes;
  for (const WString& entry : entries) {
    bytes.append(reinterpret_cast<const char*>(entry.data()), entry.size() * 2);
    bytes.append(2, '\0');
  }
  bytes.append(2, '\0');
  return bytes;
}

// A text for an index; every 97th is longer than 511 characters.
WString TextFor(const std::string& owner, DWORD index, bool help) {
  WString text = WidenAscii(owner + (help ? " help " : " counter ") + std::to_string(index));
  if (index % 97 == 0) text += WString(600, help ? 'h' : 'c');
  return text;
}

}  // namespace

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void MakeKey(const std::string& path) { RegCloseKey(Create(path)); }

void SetDword(const std::string& path, const WCHAR* name, DWORD value) {
  HKEY key = Create(path);
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  RegCloseKey(key);
}

void SetText(const std::string& path, const WCHAR* name, const WString& text, DWORD type) {
  HKEY key = Create(path);
  RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * 2));
  RegCloseKey(key);
}

void SetList(const std::string& path, const WCHAR* name, const std::vector<WString>& entries) {
  HKEY key = Create(path);
  const std::string bytes = Bytes(entries);
  RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

std::string ValueBytes(const std::string& path, const WCHAR* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
  DWORD size = 0;
  std::string bytes = "<missing>";
  if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    bytes.assign(size, '\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
      bytes = "<missing>";
    }
  }
  RegCloseKey(key);
  return bytes;
}

void DeleteKeyTree(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<std::string> children;
  char name[300];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) children.push_back(name);
  RegCloseKey(key);
  for (const std::string& child : children) DeleteKeyTree(path + "\\" + child);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

PerflibShape::PerflibShape(std::vector<std::string> languages, DWORD systemPairs, std::vector<PerflibService> services)
    : languages_(std::move(languages)), services_(std::move(services)) {
  for (DWORD i = 0; i < systemPairs; ++i) {
    counters_[2 + 2 * i] = TextFor("System", 2 + 2 * i, false);
    help_[3 + 2 * i] = TextFor("System", 3 + 2 * i, true);
  }
  for (const PerflibService& service : services_) {
    for (DWORD index = service.firstCounter; index <= service.lastCounter; index += 2) {
      counters_[index] = TextFor(service.name, index, false);
    }
    for (DWORD index = service.firstHelp; index <= service.lastHelp; index += 2) {
      help_[index] = TextFor(service.name, index, true);
    }
  }
  lastCounter_ = counters_.empty() ? 1 : counters_.rbegin()->first;
  lastHelp_ = help_.empty() ? 1 : help_.rbegin()->first;
}

std::vector<WString> PerflibShape::Entries(bool counter, const PerflibTexts& texts) const {
  std::vector<WString> entries{W("1"), Number(counter ? lastCounter_ : lastHelp_)};
  for (const auto& [index, text] : texts) {
    entries.push_back(Number(index));
    entries.push_back(text);
  }
  return entries;
}

PerflibTexts PerflibShape::Without(const PerflibTexts& texts, DWORD from, DWORD to) {
  PerflibTexts kept;
  for (const auto& [index, text] : texts) {
    if (index < from || index > to) kept[index] = text;
  }
  return kept;
}

std::string PerflibShape::ServicePath(const std::string& service) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Performance";
}

void PerflibShape::Write() const {
  SetDword(kPerflibPath, W("Last Counter"), lastCounter_);
  SetDword(kPerflibPath, W("Last Help"), lastHelp_);
  SetDword(kPerflibPath, W("Version"), 0x20000);
  for (const std::string& language : languages_) {
    const std::string path = std::string(kPerflibPath) + "\\" + language;
    SetList(path, W("Counter"), Entries(true, counters_));
    SetList(path, W("Help"), Entries(false, help_));
  }
  for (const PerflibService& service : services_) {
    const std::string path = ServicePath(service.name);
    SetDword(path, W("First Counter"), service.firstCounter);
    SetDword(path, W("Last Counter"), service.lastCounter);
    SetDword(path, W("First Help"), service.firstHelp);
    SetDword(path, W("Last Help"), service.lastHelp);
    SetText(path, W("Library"), W("legacy.dll"));
  }
}

std::string ComponentPath(const std::string& scope, const std::string& component) {
  return std::string(kUserDataPath) + "\\" + scope + "\\Components\\" + component;
}

void AddComponent(const std::string& scope, const std::string& component, const WCHAR* product,
                  const WString& installedPath, DWORD type) {
  SetText(ComponentPath(scope, component), product, installedPath, type);
}

PerflibShape LegacyMachinePerflib() {
  // Under Wine "009" is a virtual key with Wine's own lists.
  std::vector<std::string> languages{"009", "007"};
  if (WineDiffers("Perflib\\009 is a virtual key")) languages = {"007", "00C"};
  return PerflibShape(languages, 500,
                      {PerflibService{"Other Before", 1002, 1100, 1003, 1101}, kLegacyTargetService,
                       PerflibService{"Other After", 1202, 1300, 1203, 1301}});
}

void ShapeLegacyProductMachine() {
  // Other software everywhere the cycle looks.
  SetText("SOFTWARE\\Microsoft\\WBEM\\CIMOM", W("Repository Directory"), W("%SystemRoot%\\system32\\wbem\\Repository"),
          REG_EXPAND_SZ);
  SetList("SOFTWARE\\Microsoft\\WBEM\\CIMOM", W("Autorecover MOFs"),
          {W("C:\\Windows\\system32\\wbem\\cimwin32.mof"), W("C:\\Windows\\system32\\wbem\\ntevt.mof"),
           W("C:\\Program Files\\Other\\other.mof")});
  SetText("SOFTWARE\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", nullptr,
          W("C:\\Program Files\\Other\\other.dll"));
  SetText("SYSTEM\\CurrentControlSet\\Services\\Other Service\\Performance", W("Library"), W("other.dll"));
  AddComponent("S-1-5-18", "0A1B2C3D4E5F60718293A4B5C6D7E8F9", W("11111111111111111111111111111111"),
               W("C:\\Program Files\\Other\\other.dll"));
  AddComponent("S-1-5-21-42", "9F8E7D6C5B4A39281706F5E4D3C2B1A0", W("22222222222222222222222222222222"),
               W("C:\\Program Files\\Kestovar\\QMTPerfInfo.dll"));
  SetDword("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", W("C:\\Windows\\system32\\msvcr71.dll"), 3);
  // The legacy product.
  AddComponent("S-1-5-18", kLegacyRouterComponent, W("33333333333333333333333333333333"), kLegacyRouterDll);
  AddComponent("S-1-5-18", kLegacyAgentComponent, W("44444444444444444444444444444444"), kLegacyAgentDll);
  for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
    SetText(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Router\\Performance", W("Library"), kLegacyRouterDll);
    SetText(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Router", W("ImagePath"), W("router.exe"));
  }
  SetText(std::string("SOFTWARE\\Classes\\CLSID\\") + kLegacyRouterClass + "\\InprocServer32", nullptr,
          kLegacyRouterDll);
  SetText(std::string("SOFTWARE\\Classes\\CLSID\\") + kLegacyAgentClass + "\\InprocServer32", nullptr,
          kLegacyAgentDll);
  SetDword("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", kLegacyAgentDll, 1);
  LegacyMachinePerflib().Write();
  TestMachine::MakeFolder(W("C:\\Program Files\\Kestovar\\Zorvanex\\Router"));
  TestMachine::WriteFile(kLegacyRouterDll, "legacy router");
  TestMachine::WriteFile(kLegacyAgentDll, "legacy agent");
}

void RemoveLegacyProductMachine() {
  const PerflibShape perflib = LegacyMachinePerflib();
  for (const std::string& language : perflib.languages()) {
    DeleteKeyTree(std::string(kPerflibPath) + "\\" + language);
  }
  for (const char* path : {"SYSTEM\\CurrentControlSet\\Services\\Other Service",
                           "SYSTEM\\CurrentControlSet\\Services\\Other Before",
                           "SYSTEM\\CurrentControlSet\\Services\\Other After",
                           "SYSTEM\\CurrentControlSet\\Services\\Zorvane Server",
                           "SOFTWARE\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}",
                           "SOFTWARE\\Microsoft\\WBEM\\CIMOM"}) {
    DeleteKeyTree(path);
  }
  for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
    DeleteKeyTree(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Router");
  }
  for (const auto& [scope, component] :
       {std::pair<const char*, const char*>{"S-1-5-18", "0A1B2C3D4E5F60718293A4B5C6D7E8F9"},
        {"S-1-5-21-42", "9F8E7D6C5B4A39281706F5E4D3C2B1A0"}, {"S-1-5-18", kLegacyRouterComponent},
        {"S-1-5-18", kLegacyAgentComponent}}) {
    DeleteKeyTree(ComponentPath(scope, component));
  }
  HKEY shared = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", 0, KEY_SET_VALUE,
                    &shared) == ERROR_SUCCESS) {
    RegDeleteValueW(shared, W("C:\\Windows\\system32\\msvcr71.dll"));
    RegDeleteValueW(shared, kLegacyAgentDll);
    RegCloseKey(shared);
  }
}

}  // namespace kvtr::test
