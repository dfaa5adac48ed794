// The steps of the whole report that are not sections of their own: the
// network stack and the system components the product depends on. Each
// writes through `unit` (the report's function name and sink).
#pragma once

#include "common_utils/environment/report_line.h"

namespace kvtr::environment {

void ReportTcpIpProvider(const ReportUnit& unit);
void ReportAddresses(const ReportUnit& unit);
void ReportWinsockCatalog(const ReportUnit& unit);
void ReportXmlParser(const ReportUnit& unit);
void ReportOleDbProviders(const ReportUnit& unit);
void ReportMdac(const ReportUnit& unit);
void ReportAdo(const ReportUnit& unit);

// At most this many entries of the Winsock 2 name-space catalog.
inline constexpr DWORD kMaxCatalogEntries = 50;

}  // namespace kvtr::environment
