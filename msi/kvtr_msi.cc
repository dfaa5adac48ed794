// kvtr_msi.dll: Windows Installer custom actions, one per kvtr.dll export.
// Each reads what it needs from CustomActionData (a deferred action) or
// from properties (an immediate one), loads kvtr.dll, forwards every
// report to the installation's log, runs the export with COM initialised
// and turns its result into the action's return code: a failure stops the
// installation, which then rolls back.
//
// CustomActionData is "LIBRARY|ARGUMENT": the path of kvtr.dll and the
// export's argument (the MOF folder, the service name, or nothing). An
// immediate action reads the properties KVTR_LIBRARY and KVTR_ARGUMENT.
#include <cstdio>
#include <string>

#include "platform/handle_owners.h"
#include "platform/loaded_library.h"
#include "platform/msi.h"
#include "platform/win32.h"

namespace {

extern "C" {
typedef void(__cdecl* Callback)(int level, void*, void*, void*, const WCHAR* message, const char* function, int line,
                                void* context);
typedef void*(__cdecl* SetlogExport)(void*, Callback);
typedef int(__cdecl* ArgumentExport)(const WCHAR*);
typedef int(__cdecl* PlainExport)();
}

struct Export {
  const char* name;
  bool takesArgument;
  int success;  // the result the export gives when it did its work
};

// UnInstRouter answers -5 whatever happened and UnInstAgent -3 when its
// class went: those are their successes.
const Export kInstRouter{"InstRouter", true, 0};
const Export kInstAgent{"InstAgent", true, 0};
const Export kUnInstRouter{"UnInstRouter", false, -5};
const Export kUnInstAgent{"UnInstAgent", false, -3};
const Export kRemoveOldCounters{"RemoveOldCounters", false, 0};
const Export kUnInstOldCounters{"UnInstOldCounters", true, 0};

// The installation the running action reports to (actions run one at a
// time in a custom-action server).
MSIHANDLE g_install = 0;

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = {0};
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return std::wstring();
  value.resize(size);
  return value;
}

// The log formats bracketed text as properties: "[" and "]" are written
// as its escapes "[\[]" and "[\]]".
std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c == L'[') out += L"[\\[]";
    else if (c == L']') out += L"[\\]]";
    else out.push_back(c);
  }
  return out;
}

void Log(const std::wstring& text) {
  if (g_install == 0) return;
  const kvtr::UniqueMsiHandle record(MsiCreateRecord(0));
  if (!record) return;
  const std::wstring escaped = Escaped(text);
  MsiRecordSetStringW(record.get(), 0, escaped.c_str());
  MsiProcessMessage(g_install, INSTALLMESSAGE_INFO, record.get());
}

std::wstring Widen(const char* text) {
  std::wstring out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

extern "C" void __cdecl ForwardReport(int level, void*, void*, void*, const WCHAR* message, const char* function,
                                      int line, void*) {
  std::wstring text = L"kvtr: " + std::to_wstring(level) + L" " + Widen(function) + L":" + std::to_wstring(line) +
                      L": " + (message != nullptr ? std::wstring(message) : std::wstring());
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  Log(text);
}

UINT Run(MSIHANDLE install, const Export& target) {
  g_install = install;
  std::wstring data = Property(install, L"CustomActionData");
  std::wstring library, argument;
  if (data.empty()) {
    library = Property(install, L"KVTR_LIBRARY");
    argument = Property(install, L"KVTR_ARGUMENT");
  } else {
    const size_t bar = data.find(L'|');
    library = data.substr(0, bar);
    if (bar != std::wstring::npos) argument = data.substr(bar + 1);
  }
  // A folder comes as Windows Installer writes [INSTALLDIR], with a
  // backslash at its end; the exports take it without (a root keeps its).
  if (argument.size() > 3 && argument.back() == L'\\') argument.pop_back();
  const std::wstring action = Widen(target.name);
  if (library.empty()) {
    Log(L"kvtr: cannot load kvtr.dll (no KVTR_LIBRARY)");
    g_install = 0;
    return ERROR_INSTALL_FAILURE;
  }
  const kvtr::LoadedLibrary module(library.c_str());
  if (!module.loaded()) {
    Log(L"kvtr: cannot load " + library + L", error " + std::to_wstring(module.error()));
    g_install = 0;
    return ERROR_INSTALL_FAILURE;
  }
  const auto setlog = reinterpret_cast<SetlogExport>(module.Find("setlog"));
  void* const entry = module.Find(target.name);
  if (setlog == nullptr || entry == nullptr) {
    Log(L"kvtr: " + library + L" does not export " + action);
    g_install = 0;
    return ERROR_INSTALL_FAILURE;
  }
  setlog(nullptr, &ForwardReport);
  int result = 0;
  {
    kvtr::ScopedComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    if (target.takesArgument) {
      result = reinterpret_cast<ArgumentExport>(entry)(argument.empty() ? nullptr : argument.c_str());
    } else {
      result = reinterpret_cast<PlainExport>(entry)();
    }
  }
  setlog(nullptr, nullptr);
  Log(L"kvtr: " + action + L" returned " + std::to_wstring(result) +
      (result == target.success ? L"" : L", the installation fails"));
  g_install = 0;
  return result == target.success ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" {

UINT __stdcall KvtrInstRouter(MSIHANDLE install) { return Run(install, kInstRouter); }
UINT __stdcall KvtrInstAgent(MSIHANDLE install) { return Run(install, kInstAgent); }
UINT __stdcall KvtrUnInstRouter(MSIHANDLE install) { return Run(install, kUnInstRouter); }
UINT __stdcall KvtrUnInstAgent(MSIHANDLE install) { return Run(install, kUnInstAgent); }
UINT __stdcall KvtrRemoveOldCounters(MSIHANDLE install) {
  return Run(install, kRemoveOldCounters);
}
UINT __stdcall KvtrUnInstOldCounters(MSIHANDLE install) {
  return Run(install, kUnInstOldCounters);
}

}  // extern "C"
