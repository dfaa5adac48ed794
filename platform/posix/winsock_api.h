// The Winsock calls whose names the C library owns as well (gethostname,
// gethostbyname, inet_ntoa, inet_addr, socket, connect, send, the address
// records), in namespace kvtr: code in
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

// Sockets of the Internet family over the host's: SOCK_STREAM (protocol 0
// or IPPROTO_TCP) and SOCK_DGRAM (0 or IPPROTO_UDP). A SOCKET is a value of
// the layer's own, never a HANDLE. Failures answer INVALID_SOCKET or
// SOCKET_ERROR with the WSAE error as the thread's last error: another
// family WSAEAFNOSUPPORT, another type WSAESOCKTNOSUPPORT, another protocol
// WSAEPROTONOSUPPORT, a value that is no open socket WSAENOTSOCK.
KVTR_PLATFORM_API SOCKET socket(int family, int type, int protocol);
// A refused connection WSAECONNREFUSED; a non-blocking connect still in
// progress WSAEWOULDBLOCK.
KVTR_PLATFORM_API int connect(SOCKET socket, const sockaddr* name, int nameLength);
// The bytes sent. A full buffer of a non-blocking socket WSAEWOULDBLOCK; a
// connection the peer reset (or, for a datagram socket, a port nobody
// listens on) WSAECONNRESET. Never raises SIGPIPE.
KVTR_PLATFORM_API int send(SOCKET socket, const char* data, int length, int flags);
KVTR_PLATFORM_API int closesocket(SOCKET socket);
// FIONBIO only (*argument non-zero: non-blocking); other commands
// WSAEOPNOTSUPP.
KVTR_PLATFORM_API int ioctlsocket(SOCKET socket, long command, u_long* argument);

// Byte order of the network. The C library may define these as macros,
// which then serve.
#ifndef htons
constexpr u_short htons(u_short value) { return static_cast<u_short>((value << 8) | (value >> 8)); }
#endif
#ifndef ntohs
constexpr u_short ntohs(u_short value) { return static_cast<u_short>((value << 8) | (value >> 8)); }
#endif
}  // namespace kvtr
