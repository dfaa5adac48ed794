// The Winsock calls whose names the C library owns as well (gethostname,
// gethostbyname, inet_ntoa, inet_addr), in namespace kvtr: code in
// namespace kvtr finds them unqualified, as it finds the SDK's global ones
// on Windows, while libc keeps its own. Only product code and the tests see
// them (through platform/win32.h); the layer's own files call libc's.
#pragma once

#include "win32_api.h"

namespace kvtr {
// The host's name. -1 with WSAEFAULT when `length` does not hold it and
// its terminator.
KVTR_PLATFORM_API int gethostname(char* name, int length);
// The host's IPv4 addresses as the host's resolver gives them; the entry
// belongs to the calling thread until its next call. NULL with
// WSAHOST_NOT_FOUND (or WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA).
KVTR_PLATFORM_API hostent* gethostbyname(const char* name);
// Dotted text of an address, in a buffer of the calling thread.
KVTR_PLATFORM_API char* inet_ntoa(in_addr address);
// The address of dotted text, or INADDR_NONE.
KVTR_PLATFORM_API ULONG inet_addr(const char* text);
}  // namespace kvtr
