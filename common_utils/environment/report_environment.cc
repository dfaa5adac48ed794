// The whole environment report, in its fixed order: the process, the host
// and operating system, the system section, the network stack, the
// components and the running processes.
#include "common_utils/environment/report_environment.h"

#include "common_utils/environment/crt_time.h"
#include "common_utils/environment/report_line.h"
#include "common_utils/environment/report_sections.h"
#include "common_utils/report/log_entry_points.h"
#include "common_utils/text/conversions.h"

namespace kvtr::environment {
namespace {

installer::LogContextBlock g_context = installer::MakeContextBlock();

constexpr DWORD kComputerNameChars = 255;

void ReportHost(const ReportUnit& unit) {
  WCHAR name[kComputerNameChars] = {};
  DWORD chars = kComputerNameChars;
  const WCHAR* host = name;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &chars)) host = W("Unknown");
  OSVERSIONINFOEXA extended{};
  extended.dwOSVersionInfoSize = sizeof extended;
  if (GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&extended))) {
    KVTR_ENV_LINE(unit, 3,
                  W("[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d, ServicePack Major %d, "
                    "ServicePack Minor %d"),
                  host, static_cast<int>(extended.dwMajorVersion), static_cast<int>(extended.dwMinorVersion),
                  static_cast<int>(extended.dwBuildNumber), static_cast<int>(extended.wServicePackMajor),
                  static_cast<int>(extended.wServicePackMinor));
    return;
  }
  OSVERSIONINFOA basic{};
  basic.dwOSVersionInfoSize = sizeof basic;
  if (GetVersionExA(&basic)) {
    KVTR_ENV_LINE(unit, 3, W("[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d"), host,
                  static_cast<int>(basic.dwMajorVersion), static_cast<int>(basic.dwMinorVersion),
                  static_cast<int>(basic.dwBuildNumber));
  }
}

}  // namespace

void __cdecl DefaultEnvironmentSink(int level, void*, void*, void*, const WCHAR* message, const char*, int, void*) {
  if (message == nullptr) return;
  format::LogMessageDirect(level, W("%s"), message);
}

ReportEnvironment::ReportEnvironment() : ReportEnvironment(&DefaultEnvironmentSink) {}

ReportEnvironment::ReportEnvironment(installer::HostLogCallback sink)
    : sink_(sink), creationTime_(CurrentTime64()) {}

void ReportEnvironment::ReportEnvironmentVersions() {
  const ReportUnit unit{sink(), "ReportEnvironment::ReportEnvironmentVersions", &g_context};
  const std::string started = LocalTimeText(creationTime_, "%b %d %Y %H:%M:%S");
  const double upTime = static_cast<double>(CurrentTime64() - creationTime_);
  WString executable, account;
  GetServiceInfo(executable, account);
  const WString startedWide = text::ToWideString(started, -1);
  KVTR_ENV_LINE(unit, 3, W("[ENV] Current Process: %s"), executable.c_str());
  KVTR_ENV_LINE(unit, 3, W("[ENV] Current Process logged on as: %s, Start Time: %s, Uptime (seconds): %.f"),
                account.c_str(), startedWide.c_str(), upTime);
  KVTR_ENV_LINE(unit, 3, W("[ENV] Current Process id: %d"), static_cast<int>(GetCurrentProcessId()));
  ReportHost(unit);
  ReportSystemInfo();
  ReportTcpIpProvider(unit);
  ReportAddresses(unit);
  ReportWinsockCatalog(unit);
  ReportXmlParser(unit);
  ReportOleDbProviders(unit);
  ReportMdac(unit);
  ReportAdo(unit);
  ReportCurrentProcesses();
}

}  // namespace kvtr::environment
