// POSIX platform layer: whole reads and writes of a descriptor. See
// file_io.h.
#include "file_io.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kvtr::posix {

bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

bool WriteAllAt(int fd, uint64_t offset, std::initializer_list<std::string_view> pieces) {
  std::vector<iovec> parts;
  for (std::string_view piece : pieces) {
    if (!piece.empty()) parts.push_back(iovec{const_cast<char*>(piece.data()), piece.size()});
  }
  size_t next = 0;
  while (next < parts.size()) {
    const ssize_t put =
        pwritev(fd, parts.data() + next, static_cast<int>(parts.size() - next), static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    offset += static_cast<uint64_t>(put);
    size_t done = static_cast<size_t>(put);
    while (next < parts.size() && done >= parts[next].iov_len) done -= parts[next++].iov_len;
    if (next < parts.size()) {
      parts[next].iov_base = static_cast<char*>(parts[next].iov_base) + done;
      parts[next].iov_len -= done;
    }
  }
  return true;
}

bool ReadAll(int fd, std::string* text) {
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text->append(chunk, static_cast<size_t>(got));
  }
}

bool ReadAt(int fd, uint64_t offset, size_t count, std::string* text) {
  text->resize(count);
  size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(fd, text->data() + done, count - done, static_cast<off_t>(offset + done));
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  text->resize(done);
  return true;
}

}  // namespace kvtr::posix
