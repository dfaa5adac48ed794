// Finding the Windows Installer component that installed a legacy DLL, by
// scanning the recorded data of every component of the first user scope,
// and dropping that component's record.
#pragma once

#include "common_utils/report/host_log.h"

namespace kvtr::installer {

constexpr int kFoundPathBytes = 260;

// Looks for the first component whose recorded path contains `dllName`
// (letter case counts), deletes its key, reports `reportFormat` with the
// key's path at level 4 and copies the recorded path into `foundPath`
// (kFoundPathBytes, zeroed by the caller; at most 259 bytes). `foundPath`
// stays empty when nothing matched or no matching key could be deleted.
void RemoveComponentRegistration(const char* dllName, const char* function, const WCHAR* reportFormat,
                                 HostLogCallback callback, char* foundPath);

}  // namespace kvtr::installer
