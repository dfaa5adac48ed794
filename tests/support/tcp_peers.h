// TCP peers the logger's tests need and no real server gives: a port that
// refuses connections, and a listener whose backlog is full, so that a
// connect to it waits (about two minutes) for an answer that never comes.
#pragma once

namespace kvtr::test {

// A loopback TCP port nothing listens on (bound, then let go); 0 when none
// could be found.
int UnusedTcpPort();

// A loopback listener that never accepts, with its backlog filled.
class StuckTcpServer {
 public:
  StuckTcpServer();
  ~StuckTcpServer();
  StuckTcpServer(const StuckTcpServer&) = delete;
  StuckTcpServer& operator=(const StuckTcpServer&) = delete;

  // 0 when the listener could not be made.
  int port() const { return port_; }

 private:
  int port_ = 0;
  int sockets_[5] = {-1, -1, -1, -1, -1};  // the listener, then the fillers
};

}  // namespace kvtr::test
