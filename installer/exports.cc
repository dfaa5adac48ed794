// The exported functions of kvtr.dll / libkvtr.so: C linkage, the C calling
// convention and undecorated names (kvtr.def on Windows). Each forwards to
// the installer code.
#include "installer/counter_installation.h"
#include "installer/counter_removal.h"
#include "installer/host_log.h"
#include "installer/legacy_counters.h"
#include "installer/perflib_counters.h"

#ifdef _WIN32
#define KVTR_EXPORT
#else
#define KVTR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

KVTR_EXPORT void* __cdecl setlog(void* opaque, kvtr::installer::HostLogCallback callback) {
  return kvtr::installer::SetLog(opaque, callback);
}

KVTR_EXPORT int __cdecl InstRouter(const WCHAR* directory) { return kvtr::installer::InstRouter(directory); }

KVTR_EXPORT int __cdecl InstAgent(const WCHAR* directory) { return kvtr::installer::InstAgent(directory); }

KVTR_EXPORT int __cdecl UnInstRouter() { return kvtr::installer::UnInstRouter(); }

KVTR_EXPORT int __cdecl UnInstAgent() { return kvtr::installer::UnInstAgent(); }

KVTR_EXPORT int __cdecl RemoveOldCounters() { return kvtr::installer::RemoveOldCounters(); }

KVTR_EXPORT int __cdecl UnInstOldCounters(const WCHAR* serviceName) {
  return kvtr::installer::UnInstOldCounters(serviceName);
}

}  // extern "C"
