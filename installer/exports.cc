// The exported functions of kvtr.dll / libkvtr.so: C linkage, the C calling
// convention and undecorated names (kvtr.def on Windows). Each forwards to
// the installer code.
#include "installer/host_log.h"

#ifdef _WIN32
#define KVTR_EXPORT
#else
#define KVTR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

KVTR_EXPORT void* __cdecl setlog(void* opaque, kvtr::installer::HostLogCallback callback) {
  return kvtr::installer::SetLog(opaque, callback);
}

}  // extern "C"
