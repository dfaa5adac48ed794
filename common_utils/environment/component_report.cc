// The network and component steps of the environment report: the TCP/IP
// provider, the host's addresses, the Winsock 2 name-space catalog, the XML
// parser, the OLE DB providers, MDAC and ADO. Each finds its component in
// the registry and reads the file version of what it names.
#include <cstring>
#include <string>

#include "common_utils/environment/provider_list.h"
#include "common_utils/environment/report_sections.h"
#include "common_utils/paths/path_functions.h"
#include "common_utils/registry/registry.h"
#include "common_utils/text/conversions.h"

namespace kvtr::environment {
namespace {

using installer::GetModuleVersionNumbers;
using installer::kPathUnits;

constexpr DWORD kHostNameBytes = 255;
constexpr DWORD kCatalogNameChars = 256;
constexpr DWORD kEntryPathChars = 512;
constexpr DWORD kMdacVersionChars = 256;
constexpr const char* kWinsockParameters = "SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";

struct Version {
  DWORD major = 0, minor = 0, build = 0, revision = 0;
  bool Read(const WCHAR* file) { return GetModuleVersionNumbers(file, major, minor, build, revision); }
};

// The default string of a key below HKEY_LOCAL_MACHINE.
bool DefaultString(const char* path, WCHAR* out, DWORD chars) {
  registry::Registry key(HKEY_LOCAL_MACHINE, path, registry::Registry::kNoNameCache);
  if (!key.Open(false)) return false;
  const bool read = key.GetString(W(""), out, chars);
  key.Close();
  return read;
}

struct XmlParser {
  const char* key;
  const WCHAR* name;
};
constexpr XmlParser kXmlParsers[] = {
    {"SOFTWARE\\Classes\\CLSID\\{88d96a06-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     W("Microsoft XML Parser 6.0")},
    {"SOFTWARE\\Classes\\CLSID\\{88d969c1-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     W("Microsoft XML Parser 4.0")},
    {"SOFTWARE\\Classes\\CLSID\\{f5078f33-c551-11d3-89b9-0000f81fe221}\\InprocServer32",
     W("Microsoft XML Parser 3.0")},
};

}  // namespace

void ReportTcpIpProvider(const ReportUnit& unit) {
  registry::Registry provider(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider",
                              registry::Registry::kNoNameCache);
  WCHAR path[kPathUnits] = {};
  Version version;
  if (provider.Open(false) && provider.GetString(W("ProviderPath"), path, kPathUnits) && version.Read(path)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] TCP/IP provider (Winsock) File Version: %d.%d.%d.%d (%s)"),
                  static_cast<int>(version.major), static_cast<int>(version.minor), static_cast<int>(version.build),
                  static_cast<int>(version.revision), path);
    return;
  }
  KVTR_ENV_TEXT(unit, 3, W("[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information"));
}

void ReportAddresses(const ReportUnit& unit) {
  char name[kHostNameBytes] = {};
  if (gethostname(name, kHostNameBytes) != 0) {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Unable to provide HostName "));
    return;
  }
  const hostent* host = gethostbyname(name);
  if (host == nullptr) {
    const installer::SystemErrorText error(GetLastError(), installer::kUserDefaultLanguage);
    KVTR_ENV_LINE(unit, 3, W("[ENV] HOSTINFO_ERROR : %s (%d)"), error.text(), static_cast<int>(error.code()));
    return;
  }
  for (char** entry = host->h_addr_list; entry != nullptr && *entry != nullptr; ++entry) {
    in_addr address;
    std::memcpy(&address, *entry, sizeof address);
    const WString text = text::ToWideString(inet_ntoa(address), -1);
    KVTR_ENV_LINE(unit, 3, W("[ENV] Local machine IP Address = %s"), text.c_str());
  }
}

void ReportWinsockCatalog(const ReportUnit& unit) {
  registry::Registry parameters(HKEY_LOCAL_MACHINE, kWinsockParameters, registry::Registry::kNoNameCache);
  WCHAR catalog[kCatalogNameChars] = {};
  if (!parameters.Open(false) || !parameters.GetString(W("Current_NameSpace_Catalog"), catalog, kCatalogNameChars)) {
    return;
  }
  const std::string entriesPath =
      std::string(kWinsockParameters) + "\\" + text::ToNarrowString(catalog, -1) + "\\Catalog_Entries";
  registry::Registry entries(HKEY_LOCAL_MACHINE, entriesPath.c_str(), registry::Registry::kNoNameCache);
  DWORD count = 0;
  if (!entries.Open(false) || !entries.GetSubKeyCount(&count)) return;
  if (count > kMaxCatalogEntries) count = kMaxCatalogEntries;
  for (DWORD index = 0; index < count; ++index) {
    WCHAR entryPath[kEntryPathChars] = {};
    WCHAR entryName[kEntryPathChars] = {};
    if (!entries.EnumSubKey(index, entryPath, kEntryPathChars, entryName, kEntryPathChars)) continue;
    registry::Registry entry(entryPath, registry::Registry::kLocalMachine, registry::Registry::kNoNameCache);
    if (!entry.Open(false)) continue;
    WCHAR display[kPathUnits] = {};
    WCHAR library[kPathUnits] = {};
    if (!entry.GetString(W("DisplayString"), display, kPathUnits) ||
        !entry.GetString(W("LibraryPath"), library, kPathUnits)) {
      continue;
    }
    WCHAR expanded[kPathUnits] = {};
    installer::ExpandFullPath(library, expanded, kPathUnits);
    Version version;
    if (version.Read(expanded)) {
      KVTR_ENV_LINE(unit, 3, W("[ENV] Winsock2 file: %s, Version: %d.%d.%d.%d (%s)"), display,
                    static_cast<int>(version.major), static_cast<int>(version.minor),
                    static_cast<int>(version.build), static_cast<int>(version.revision), expanded);
    } else {
      KVTR_ENV_LINE(unit, 3, W("[ENV] Winsock2 file: %s (%s)"), display, expanded);
    }
  }
}

void ReportXmlParser(const ReportUnit& unit) {
  for (const XmlParser& parser : kXmlParsers) {
    WCHAR file[kPathUnits] = {};
    Version version;
    if (!DefaultString(parser.key, file, kPathUnits) || !version.Read(file)) continue;
    KVTR_ENV_LINE(unit, 3, W("[ENV] %s: %s, Version: %d.%d.%d.%d"), parser.name, file, static_cast<int>(version.major),
                  static_cast<int>(version.minor), static_cast<int>(version.build),
                  static_cast<int>(version.revision));
    return;
  }
  KVTR_ENV_TEXT(unit, 3, W("[ENV] Unable to find Microsoft XML Parser Version information"));
}

void ReportOleDbProviders(const ReportUnit& unit) {
  for (const WString& provider : provider_list(unit.sink)) {
    const WString upper = text::ToUpperInCodePage(provider, -1);
    if (upper.find(W("SQLNCLI")) != WString::npos && upper.find(W(' ')) == WString::npos) {
      KVTR_ENV_LINE(unit, 3, W("[ENV] SQLCLI provider is available: [%s]"), upper.c_str());
    } else if (upper == W("SQLOLEDB")) {
      KVTR_ENV_LINE(unit, 3, W("[ENV] MSSQL OLEDB provider is available: [%s]"), upper.c_str());
    }
  }
}

void ReportMdac(const ReportUnit& unit) {
  registry::Registry access(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DataAccess", registry::Registry::kNoNameCache);
  WCHAR version[kMdacVersionChars] = {};
  if (access.Open(false) && access.GetString(W("FullInstallVer"), version, kMdacVersionChars)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] MDAC version: %s"), version);
  }
}

void ReportAdo(const ReportUnit& unit) {
  registry::Registry ado(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Classes\\CLSID\\{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32",
                         registry::Registry::kNoNameCache);
  if (!ado.Open(false)) return;
  WCHAR file[kPathUnits] = {};
  const bool read = ado.GetString(W(""), file, kPathUnits);
  ado.Close();
  Version version;
  if (read && version.Read(file)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] MSADO15.DLL: %s, Version: %d.%d.%d.%d"), file, static_cast<int>(version.major),
                  static_cast<int>(version.minor), static_cast<int>(version.build),
                  static_cast<int>(version.revision));
  } else {
    KVTR_ENV_TEXT(unit, 3, W("[ENV] Unable to find MSADO15.DLL Version information"));
  }
}

}  // namespace kvtr::environment
