// The Winsock subset: start-up and clean-up, the host's name and addresses,
// and address text. Names compared with the host's own resolver on Linux.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_machine.h"

#ifndef _WIN32
#include <netdb.h>
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
  if (WineDiffers("Winsock calls work before WSAStartup")) return;
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

}  // namespace
}  // namespace kvtr::test
