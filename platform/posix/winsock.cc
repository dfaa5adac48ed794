// POSIX platform layer: the Winsock calls of the subset the library uses
// (WSAStartup, WSACleanup, WSAGetLastError, WSASetLastError, and in
// namespace kvtr gethostname, gethostbyname, inet_ntoa, inet_addr) over the
// host's resolver. As on Windows, every call but WSAStartup fails with
// WSANOTINITIALISED until WSAStartup has succeeded (counted: each success
// needs its WSACleanup), and the Winsock error is the thread's last error.
// Host entries and address texts belong to the calling thread until its
// next call, which is what Windows promises.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "layer.h"
#include "winsock_api.h"

namespace kvtr::posix {
namespace {

std::atomic<int> g_startups{0};

bool Started() {
  if (g_startups.load() > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

// The storage of one thread's host entry.
struct HostEntryStorage {
  std::string name;
  std::vector<ULONG> addresses;
  std::vector<char*> addressList;
  char* noAliases[1] = {nullptr};
  kvtr::hostent entry{};
};

thread_local HostEntryStorage t_hostEntry;
thread_local char t_addressText[16];

}  // namespace
}  // namespace kvtr::posix

extern "C" {

int WSAStartup(WORD version, LPWSADATA data) try {
  if (data == nullptr) return WSAEFAULT;
  const BYTE major = LOBYTE(version), minor = HIBYTE(version);
  if (major < 1) return WSAVERNOTSUPPORTED;
  std::memset(data, 0, sizeof *data);
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : version;
  data->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  kvtr::posix::g_startups.fetch_add(1);
  return 0;
} catch (...) {
  return WSASYSNOTREADY;
}

int WSACleanup(void) {
  int count = kvtr::posix::g_startups.load();
  while (count > 0 && !kvtr::posix::g_startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) return 0;
  SetLastError(WSANOTINITIALISED);
  return -1;
}

int WSAGetLastError(void) { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

}  // extern "C"

namespace kvtr {

int gethostname(char* name, int length) try {
  if (!posix::Started()) return -1;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  const size_t needed = std::strlen(host) + 1;
  if (name == nullptr || length < 0 || static_cast<size_t>(length) < needed) {
    SetLastError(WSAEFAULT);
    return -1;
  }
  std::memcpy(name, host, needed);
  return 0;
} catch (...) {
  SetLastError(WSANO_RECOVERY);
  return -1;
}

hostent* gethostbyname(const char* name) try {
  using namespace kvtr::posix;
  if (!Started()) return nullptr;
  char own[256] = {};
  if (name == nullptr || name[0] == 0) {
    if (::gethostname(own, sizeof own - 1) != 0) own[0] = 0;
    name = own;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name, nullptr, &hints, &found);
  if (status != 0) {
    SetLastError(ResolverErrorToWinsock(status));
    return nullptr;
  }
  HostEntryStorage& storage = t_hostEntry;
  storage.name = found->ai_canonname != nullptr ? found->ai_canonname : name;
  storage.addresses.clear();
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    if (at->ai_family != AF_INET) continue;
    const ULONG address = reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (ULONG known : storage.addresses) seen = seen || known == address;
    if (!seen) storage.addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (storage.addresses.empty()) {
    SetLastError(WSANO_DATA);
    return nullptr;
  }
  storage.addressList.clear();
  for (ULONG& address : storage.addresses) storage.addressList.push_back(reinterpret_cast<char*>(&address));
  storage.addressList.push_back(nullptr);
  storage.entry.h_name = storage.name.data();
  storage.entry.h_aliases = storage.noAliases;
  storage.entry.h_addrtype = AF_INET;
  storage.entry.h_length = sizeof(ULONG);
  storage.entry.h_addr_list = storage.addressList.data();
  return &storage.entry;
} catch (...) {
  SetLastError(WSANO_RECOVERY);
  return nullptr;
}

char* inet_ntoa(in_addr address) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
  std::snprintf(posix::t_addressText, sizeof posix::t_addressText, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                bytes[3]);
  return posix::t_addressText;
}

ULONG inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  ::in_addr parsed{};
  if (::inet_aton(text, &parsed) == 0) return INADDR_NONE;
  return parsed.s_addr;
}

}  // namespace kvtr
