// The Winsock subset: start-up and clean-up, the host's name and addresses,
// and address text. Names compared with the host's own resolver on Linux.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_machine.h"

#include <chrono>
#include <thread>

#ifndef _WIN32
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kvtr::test {
namespace {

class Winsock : public testing::Test {
 protected:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
  }
  void TearDown() override { EXPECT_EQ(0, WSACleanup()); }
};

TEST(WinsockStartup, VersionsAndTheCountOfStartups) {
  struct Case {
    WORD asked;
    int result;
    WORD granted;
  };
  const Case cases[] = {
      {MAKEWORD(1, 1), 0, MAKEWORD(1, 1)},
      {MAKEWORD(2, 0), 0, MAKEWORD(2, 0)},
      {MAKEWORD(2, 2), 0, MAKEWORD(2, 2)},
      {MAKEWORD(3, 3), 0, MAKEWORD(2, 2)},
      {MAKEWORD(1, 0), 0, MAKEWORD(1, 0)},
      {MAKEWORD(0, 9), WSAVERNOTSUPPORTED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << std::hex << c.asked);
    WSADATA data{};
    EXPECT_EQ(c.result, WSAStartup(c.asked, &data));
    if (c.result != 0) continue;
    EXPECT_EQ(c.granted, data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    EXPECT_EQ(0, WSACleanup());
  }
  // Every successful start-up is ended by its own clean-up; one more fails.
  char name[256];
  if (WineDiffers("Winsock calls work before WSAStartup")) {
    EXPECT_EQ(0, gethostname(name, sizeof name));
    return;
  }
  EXPECT_EQ(-1, gethostname(name, sizeof name));
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
  EXPECT_EQ(-1, WSACleanup());
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST_F(Winsock, HostNameIsTheHostsAndNeedsRoomForItsTerminator) {
  char name[256] = {};
  ASSERT_EQ(0, gethostname(name, sizeof name));
  const size_t length = std::strlen(name);
  ASSERT_GT(length, 0u);
#ifndef _WIN32
  char host[256] = {};
  ASSERT_EQ(0, ::gethostname(host, sizeof host));
  EXPECT_STREQ(host, name);
#endif
  char small[256];
  EXPECT_EQ(-1, gethostname(small, static_cast<int>(length)));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  EXPECT_EQ(0, gethostname(small, static_cast<int>(length + 1)));
  // The Winsock error is the thread's last error.
  WSASetLastError(WSAEINVAL);
  EXPECT_EQ(static_cast<DWORD>(WSAEINVAL), GetLastError());
}

TEST_F(Winsock, HostEntriesListTheResolversAddresses) {
  const hostent* local = gethostbyname("localhost");
  ASSERT_NE(nullptr, local);
  EXPECT_EQ(AF_INET, local->h_addrtype);
  EXPECT_EQ(4, local->h_length);
  ASSERT_NE(nullptr, local->h_addr_list[0]);
  in_addr address;
  std::memcpy(&address, local->h_addr_list[0], sizeof address);
  EXPECT_STREQ("127.0.0.1", inet_ntoa(address));

  char name[256] = {};
  ASSERT_EQ(0, gethostname(name, sizeof name));
  const hostent* own = gethostbyname(name);
  ASSERT_NE(nullptr, own);
  int count = 0;
  for (char** entry = own->h_addr_list; *entry != nullptr; ++entry) ++count;
  EXPECT_GT(count, 0);
#ifndef _WIN32
  // The same addresses as the host's resolver gives.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  ASSERT_EQ(0, getaddrinfo(name, nullptr, &hints, &found));
  int expected = 0;
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const auto* host = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
    EXPECT_EQ(0, std::memcmp(&host->sin_addr, own->h_addr_list[expected], 4)) << expected;
    ++expected;
  }
  freeaddrinfo(found);
  EXPECT_EQ(expected, count);
#endif

  EXPECT_EQ(nullptr, gethostbyname("no-such-host.invalid"));
  EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError());
}

TEST_F(Winsock, AddressTextRoundTrips) {
  const ULONG address = inet_addr("192.168.17.3");
  ASSERT_NE(INADDR_NONE, address);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(192, bytes[0]);
  EXPECT_EQ(3, bytes[3]);
  in_addr value;
  std::memcpy(&value, &address, sizeof value);
  EXPECT_STREQ("192.168.17.3", inet_ntoa(value));
  EXPECT_EQ(INADDR_NONE, inet_addr("not an address"));
  EXPECT_EQ(INADDR_NONE, inet_addr("300.1.1.1"));
}

// A peer on the loopback interface made with the host's own sockets (the C
// library's on Linux, ws2_32's on Windows), never with the calls under test.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(int type, bool listening = true) {
#ifdef _WIN32
    fd_ = static_cast<long long>(::socket(AF_INET, type, 0));
#else
    fd_ = ::socket(AF_INET, type == SOCK_STREAM ? ::SOCK_STREAM : ::SOCK_DGRAM, 0);
#endif
    EXPECT_GE(fd_, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(0x7F000001);
    EXPECT_EQ(0, ::bind(Fd(), reinterpret_cast<::sockaddr*>(&address), sizeof address));
    HostLength length = sizeof address;
    EXPECT_EQ(0, ::getsockname(Fd(), reinterpret_cast<::sockaddr*>(&address), &length));
    port_ = address.sin_port;
    if (listening && type == SOCK_STREAM) {
      EXPECT_EQ(0, ::listen(Fd(), 4));
    }
  }
  ~LoopbackPeer() {
    if (accepted_ >= 0) Close(accepted_);
    Close(fd_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  // The address to connect to, as Windows code writes it.
  sockaddr_in Address() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = port_;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
  }
  // Accepts the pending connection (stream peers).
  void Accept() {
#ifdef _WIN32
    accepted_ = static_cast<long long>(::accept(Fd(), nullptr, nullptr));
#else
    accepted_ = ::accept(Fd(), nullptr, nullptr);
#endif
    ASSERT_GE(accepted_, 0);
  }
  // Reads until `count` bytes have come (one datagram for a datagram peer).
  std::string Receive(size_t count) {
    std::string received;
    char buffer[4096];
    const auto from = accepted_ >= 0 ? accepted_ : fd_;
    while (received.size() < count) {
      const auto got = ::recv(static_cast<HostSocket>(from), buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received.append(buffer, static_cast<size_t>(got));
    }
    return received;
  }
  // Ends the accepted connection with a reset rather than an orderly close.
  void Reset() {
    ::linger abort{1, 0};
    ::setsockopt(static_cast<HostSocket>(accepted_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                 sizeof abort);
    Close(accepted_);
    accepted_ = -1;
  }

 private:
#ifdef _WIN32
  using HostSocket = ::SOCKET;
  using HostLength = int;
  static void Close(long long fd) { ::closesocket(static_cast<HostSocket>(fd)); }
#else
  using HostSocket = int;
  using HostLength = socklen_t;
  static void Close(long long fd) { ::close(static_cast<int>(fd)); }
#endif
  HostSocket Fd() const { return static_cast<HostSocket>(fd_); }
  long long fd_ = -1;
  long long accepted_ = -1;
  u_short port_ = 0;
};

TEST_F(Winsock, StreamSocketSendsToItsPeer) {
  LoopbackPeer peer(SOCK_STREAM);
  const SOCKET sender = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(INVALID_SOCKET, sender);
  const sockaddr_in address = peer.Address();
  ASSERT_EQ(0, connect(sender, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  peer.Accept();
  const std::string frame = "<14>1 2026-12-10T06:00:00Z host app - - - frame\n";
  EXPECT_EQ(static_cast<int>(frame.size()), send(sender, frame.data(), static_cast<int>(frame.size()), 0));
  EXPECT_EQ(frame, peer.Receive(frame.size()));
  // Once the peer resets the connection, sending fails with WSAECONNRESET.
  peer.Reset();
  int result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
    result = send(sender, frame.data(), static_cast<int>(frame.size()), 0);
    if (result != SOCKET_ERROR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(SOCKET_ERROR, result);
  EXPECT_EQ(WSAECONNRESET, WSAGetLastError());
  EXPECT_EQ(0, closesocket(sender));
  EXPECT_EQ(SOCKET_ERROR, closesocket(sender));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(Winsock, DatagramSocketSendsWholeDatagrams) {
  LoopbackPeer peer(SOCK_DGRAM);
  const SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(INVALID_SOCKET, sender);
  const sockaddr_in address = peer.Address();
  ASSERT_EQ(0, connect(sender, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  for (const std::string datagram : {"first", "second datagram"}) {
    EXPECT_EQ(static_cast<int>(datagram.size()), send(sender, datagram.data(), static_cast<int>(datagram.size()), 0));
    EXPECT_EQ(datagram, peer.Receive(1));
  }
  EXPECT_EQ(0, closesocket(sender));
}

// The port's refusal (ICMP) shows on a later send as a reset connection.
TEST_F(Winsock, DatagramsToAClosedPortEndInAReset) {
  sockaddr_in closed{};
  {
    LoopbackPeer bound(SOCK_DGRAM);
    closed = bound.Address();
  }
  const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(INVALID_SOCKET, sender);
  ASSERT_EQ(0, connect(sender, reinterpret_cast<const sockaddr*>(&closed), sizeof closed));
  int result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
    result = send(sender, "x", 1, 0);
    if (result != SOCKET_ERROR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(SOCKET_ERROR, result);
  const int error = WSAGetLastError();
  if (error == WSAECONNREFUSED && WineDiffers("a port's refusal of a datagram gives WSAECONNREFUSED, not WSAECONNRESET")) {
    EXPECT_EQ(0, closesocket(sender));
    return;
  }
  EXPECT_EQ(WSAECONNRESET, error);
  EXPECT_EQ(0, closesocket(sender));
}

TEST_F(Winsock, RefusedConnectionsAndBadArguments) {
  sockaddr_in closed{};
  {
    LoopbackPeer bound(SOCK_STREAM, /*listening=*/false);
    closed = bound.Address();
  }  // nothing listens on that port any more
  const SOCKET sender = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, sender);
  EXPECT_EQ(SOCKET_ERROR, connect(sender, reinterpret_cast<const sockaddr*>(&closed), sizeof closed));
  EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, connect(sender, reinterpret_cast<const sockaddr*>(&closed), 8));
  if (!WineDiffers("connect with a short address length gives WSAEADDRNOTAVAIL")) {
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  }
  u_long on = 1;
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(sender, 0x4004767F, &on));  // no such command
  EXPECT_EQ(WSAEOPNOTSUPP, WSAGetLastError());
  EXPECT_EQ(0, closesocket(sender));

  struct Case {
    int family, type, protocol;
    int error;
  };
  const Case cases[] = {
      {99, SOCK_STREAM, 0, WSAEAFNOSUPPORT},
      {AF_INET, 99, 0, WSAESOCKTNOSUPPORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.family << " " << c.type << " " << c.protocol);
    EXPECT_EQ(INVALID_SOCKET, socket(c.family, c.type, c.protocol));
    EXPECT_EQ(c.error, WSAGetLastError());
  }
  const char byte = 0;
  EXPECT_EQ(SOCKET_ERROR, send(sender, &byte, 1, 0));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

// A non-blocking socket whose peer reads nothing fills its buffers and
// then says so instead of waiting.
TEST_F(Winsock, NonBlockingSendEndsWithWouldBlock) {
  LoopbackPeer peer(SOCK_STREAM);
  const SOCKET sender = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, sender);
  const sockaddr_in address = peer.Address();
  ASSERT_EQ(0, connect(sender, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  u_long on = 1;
  ASSERT_EQ(0, ioctlsocket(sender, FIONBIO, &on));
  const std::string chunk(65536, 'x');
  long long total = 0;
  int result = 0;
  for (int i = 0; i < 4096 && result != SOCKET_ERROR; ++i) {
    result = send(sender, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (result > 0) total += result;
  }
  EXPECT_EQ(SOCKET_ERROR, result);
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
  EXPECT_GT(total, 0);
  EXPECT_EQ(0, closesocket(sender));
}

}  // namespace
}  // namespace kvtr::test
