// kvtr-log's input elsewhere: SIGINT and SIGTERM are blocked in every
// thread and taken by one that only tells the reading loop through a pipe,
// so the loop submits every line it has read before it stops, and reads
// nothing more.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include "tools/log_input.h"

namespace kvtr::logtool {
namespace {

int g_stopPipe[2] = {-1, -1};

}  // namespace

void StartStopHandling(void (*stop)()) {
  if (pipe(g_stopPipe) != 0) g_stopPipe[0] = g_stopPipe[1] = -1;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, stop] {
    int signal = 0;
    sigwait(&signals, &signal);
    const char request = 's';
    if (g_stopPipe[1] < 0 || write(g_stopPipe[1], &request, 1) != 1) stop();
  }).detach();
}

void ReadLines(void (*submit)(std::string line)) {
  std::string pending;
  char chunk[65536];
  for (;;) {
    pollfd watched[2] = {{g_stopPipe[0], POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[0].revents != 0) break;  // stopped: what the pipe still holds was never read
    const ssize_t got = read(0, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(chunk, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      submit(pending.substr(start, end - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) submit(pending);
}

}  // namespace kvtr::logtool
