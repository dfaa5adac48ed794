// Host sockets, not the platform layer's Winsock subset: these peers bind
// and listen, which the product never does. POSIX only.
#include "support/tcp_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvtr::test {
namespace {

int BoundLoopback(int type, sockaddr_in* address) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof *address;
  if (bind(fd, reinterpret_cast<sockaddr*>(address), sizeof *address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(address), &size) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int UnusedTcpPort() {
  sockaddr_in address;
  const int fd = BoundLoopback(SOCK_STREAM, &address);
  if (fd < 0) return 0;
  close(fd);
  return ntohs(address.sin_port);
}

StuckTcpServer::StuckTcpServer() {
  sockaddr_in address;
  sockets_[0] = BoundLoopback(SOCK_STREAM, &address);
  if (sockets_[0] < 0 || listen(sockets_[0], 0) != 0) return;
  for (int i = 1; i < 5; ++i) {
    sockets_[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (sockets_[i] >= 0) (void)connect(sockets_[i], reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  port_ = ntohs(address.sin_port);
}

StuckTcpServer::~StuckTcpServer() {
  for (const int fd : sockets_) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace kvtr::test
