// POSIX platform layer: the Winsock calls of the subset the library uses
// (WSAStartup, WSACleanup, WSAGetLastError, WSASetLastError, and in
// namespace kvtr gethostname, gethostbyname, inet_ntoa, inet_addr, socket,
// connect, send, closesocket, ioctlsocket) over the host's resolver and
// sockets. A SOCKET is a number of this file's own table, which holds the
// host descriptor; a socket closed while another thread still uses it is
// closed on the host when that call ends. As on Windows, every call but WSAStartup fails with
// WSANOTINITIALISED until WSAStartup has succeeded (counted: each success
// needs its WSACleanup), and the Winsock error is the thread's last error.
// Host entries and address texts belong to the calling thread until its
// next call, which is what Windows promises.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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

// One open socket: its host descriptor, closed when the last user lets go.
struct HostSocket {
  explicit HostSocket(int descriptor) : fd(descriptor) {}
  ~HostSocket() { ::close(fd); }
  HostSocket(const HostSocket&) = delete;
  HostSocket& operator=(const HostSocket&) = delete;
  const int fd;
};

class SocketTable {
 public:
  SOCKET Add(std::shared_ptr<HostSocket> socket) {
    std::lock_guard<std::mutex> hold(lock_);
    // Windows' socket numbers are small multiples of 4, as its handles are.
    for (size_t tries = 0; tries < kCapacity; ++tries) {
      const SOCKET value = next_;
      next_ = next_ + 4 >= kFirst + 4 * kCapacity ? kFirst : next_ + 4;
      if (sockets_.emplace(value, socket).second) return value;
    }
    return INVALID_SOCKET;
  }
  std::shared_ptr<HostSocket> Find(SOCKET value) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sockets_.find(value);
    return found != sockets_.end() ? found->second : nullptr;
  }
  // Every socket, as the last WSACleanup closes them.
  void Clear() {
    std::unordered_map<SOCKET, std::shared_ptr<HostSocket>> removed;
    std::lock_guard<std::mutex> hold(lock_);
    removed.swap(sockets_);
  }
  bool Remove(SOCKET value) {
    std::shared_ptr<HostSocket> removed;  // closed after the lock is released
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sockets_.find(value);
    if (found == sockets_.end()) return false;
    removed = std::move(found->second);
    sockets_.erase(found);
    return true;
  }

 private:
  static constexpr SOCKET kFirst = 0x100;
  static constexpr size_t kCapacity = 1u << 20;
  std::mutex lock_;
  std::unordered_map<SOCKET, std::shared_ptr<HostSocket>> sockets_;
  SOCKET next_ = kFirst;
};

SocketTable& Sockets() {
  static SocketTable* const table = new SocketTable;  // never destroyed: sockets may close at exit
  return *table;
}

// The open socket behind `value`, or null with WSAENOTSOCK.
std::shared_ptr<HostSocket> SocketOf(SOCKET value) {
  std::shared_ptr<HostSocket> socket = Sockets().Find(value);
  if (socket == nullptr) SetLastError(WSAENOTSOCK);
  return socket;
}

int FailWithErrno(int error) {
  SetLastError(WinsockErrorOfErrno(error));
  return SOCKET_ERROR;
}

// A blocking connect interrupted by a signal goes on in the background;
// its end is waited for here.
int FinishInterruptedConnect(int fd) {
  pollfd wait{fd, POLLOUT, 0};
  while (poll(&wait, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

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
  if (count == 1) kvtr::posix::Sockets().Clear();  // the last clean-up closes every socket
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

SOCKET socket(int family, int type, int protocol) try {
  if (!posix::Started()) return INVALID_SOCKET;
  if (family != AF_INET) {
    SetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM && type != SOCK_DGRAM) {
    SetLastError(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  const int expected = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
  if (protocol != 0 && protocol != expected) {
    SetLastError(WSAEPROTONOSUPPORT);
    return INVALID_SOCKET;
  }
  const int fd = ::socket(AF_INET, (type == SOCK_STREAM ? ::SOCK_STREAM : ::SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    posix::FailWithErrno(errno);
    return INVALID_SOCKET;
  }
  const SOCKET value = posix::Sockets().Add(std::make_shared<posix::HostSocket>(fd));
  if (value == INVALID_SOCKET) SetLastError(WSAEMFILE);
  return value;
} catch (...) {
  SetLastError(WSAENOBUFS);
  return INVALID_SOCKET;
}

int connect(SOCKET value, const sockaddr* name, int nameLength) try {
  if (!posix::Started()) return SOCKET_ERROR;
  const auto socket = posix::SocketOf(value);
  if (socket == nullptr) return SOCKET_ERROR;
  if (name == nullptr || nameLength < static_cast<int>(sizeof(sockaddr_in))) {
    SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  sockaddr_in windows;
  std::memcpy(&windows, name, sizeof windows);
  if (windows.sin_family != AF_INET) {
    SetLastError(WSAEAFNOSUPPORT);
    return SOCKET_ERROR;
  }
  ::sockaddr_in host{};
  host.sin_family = AF_INET;
  host.sin_port = windows.sin_port;
  host.sin_addr.s_addr = windows.sin_addr.s_addr;
  if (::connect(socket->fd, reinterpret_cast<const ::sockaddr*>(&host), sizeof host) == 0) return 0;
  int error = errno;
  if (error == EINTR) {
    error = posix::FinishInterruptedConnect(socket->fd);
    if (error == 0) return 0;
  }
  return posix::FailWithErrno(error);
} catch (...) {
  SetLastError(WSAENOBUFS);
  return SOCKET_ERROR;
}

int send(SOCKET value, const char* data, int length, int flags) try {
  if (!posix::Started()) return SOCKET_ERROR;
  const auto socket = posix::SocketOf(value);
  if (socket == nullptr) return SOCKET_ERROR;
  if (length < 0 || (data == nullptr && length > 0)) {
    SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  // MSG_OOB (1) and MSG_DONTROUTE (4) have the same values on the host.
  const int hostFlags = (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL;
  ssize_t sent;
  do {
    sent = ::send(socket->fd, data, static_cast<size_t>(length), hostFlags);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return static_cast<int>(sent);
  // A datagram socket whose peer port is closed: Windows reports the ICMP
  // answer as a reset connection.
  if (errno == ECONNREFUSED) {
    SetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  return posix::FailWithErrno(errno);
} catch (...) {
  SetLastError(WSAENOBUFS);
  return SOCKET_ERROR;
}

int closesocket(SOCKET value) try {
  if (!posix::Started()) return SOCKET_ERROR;
  if (posix::Sockets().Remove(value)) return 0;
  SetLastError(WSAENOTSOCK);
  return SOCKET_ERROR;
} catch (...) {
  SetLastError(WSAENOBUFS);
  return SOCKET_ERROR;
}

int ioctlsocket(SOCKET value, long command, u_long* argument) try {
  if (!posix::Started()) return SOCKET_ERROR;
  const auto socket = posix::SocketOf(value);
  if (socket == nullptr) return SOCKET_ERROR;
  if (command != FIONBIO) {
    SetLastError(WSAEOPNOTSUPP);  // as WSAIoctl answers a command it does not know
    return SOCKET_ERROR;
  }
  if (argument == nullptr) {
    SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  const int current = fcntl(socket->fd, F_GETFL);
  if (current < 0) return posix::FailWithErrno(errno);
  const int wanted = *argument != 0 ? (current | O_NONBLOCK) : (current & ~O_NONBLOCK);
  if (fcntl(socket->fd, F_SETFL, wanted) != 0) return posix::FailWithErrno(errno);
  return 0;
} catch (...) {
  SetLastError(WSAENOBUFS);
  return SOCKET_ERROR;
}

ULONG inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  ::in_addr parsed{};
  if (::inet_aton(text, &parsed) == 0) return INADDR_NONE;
  return parsed.s_addr;
}

}  // namespace kvtr
