// The exported functions of kvtr.dll / libkvtr.so: C linkage, the C calling
// convention and undecorated names (kvtr.def on Windows). Each forwards to
// the installer code behind its barrier, so nothing crosses the boundary.
#include "common_utils/report/host_log.h"
#include "installer/export_barrier.h"

#ifdef _WIN32
#define KVTR_EXPORT
#else
#define KVTR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

KVTR_EXPORT void* __cdecl setlog(void* opaque, kvtr::installer::HostLogCallback callback) {
  return kvtr::installer::SetLog(opaque, callback);
}

KVTR_EXPORT int __cdecl InstRouter(const WCHAR* directory) { return kvtr::installer::exported::InstRouter(directory); }

KVTR_EXPORT int __cdecl InstAgent(const WCHAR* directory) { return kvtr::installer::exported::InstAgent(directory); }

KVTR_EXPORT int __cdecl UnInstRouter() { return kvtr::installer::exported::UnInstRouter(); }

KVTR_EXPORT int __cdecl UnInstAgent() { return kvtr::installer::exported::UnInstAgent(); }

KVTR_EXPORT int __cdecl RemoveOldCounters() { return kvtr::installer::exported::RemoveOldCounters(); }

KVTR_EXPORT int __cdecl UnInstOldCounters(const WCHAR* serviceName) {
  return kvtr::installer::exported::UnInstOldCounters(serviceName);
}

}  // extern "C"
