#include "support/child_processes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace kvtr::test {

std::vector<int> RunInChildren(int count, const std::function<int(int index)>& body,
                               const std::function<void()>& meanwhile) {
  std::vector<int> statuses(static_cast<size_t>(count), -1);
  int gate[2];
  if (pipe(gate) != 0) return statuses;
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      // Waits until the parent closes its end of the gate.
      close(gate[1]);
      char byte;
      while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(body(i));
    }
    children.push_back(child);
  }
  close(gate[0]);
  close(gate[1]);
  size_t running = 0;
  for (pid_t child : children) running += child > 0 ? 1 : 0;
  while (running > 0) {
    for (size_t i = 0; i < children.size(); ++i) {
      if (children[i] <= 0) continue;
      int status = 0;
      const pid_t ended = waitpid(children[i], &status, meanwhile ? WNOHANG : 0);
      if (ended == 0 || (ended < 0 && errno == EINTR)) continue;
      if (ended == children[i] && WIFEXITED(status)) statuses[i] = WEXITSTATUS(status);
      children[i] = 0;
      --running;
    }
    if (running > 0 && meanwhile) meanwhile();
  }
  return statuses;
}

}  // namespace kvtr::test
