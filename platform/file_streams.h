// C++ file streams on Windows paths: the C runtime's wide-path open on
// Windows; elsewhere the layer maps the path (drive paths into the prefix)
// to the host's.
#pragma once

#include <cerrno>
#include <fstream>
#include <ios>

#include "platform/win32.h"

namespace kvtr::platform {

// Opens `buffer` on `path` with `mode` (no sharing restriction towards
// other openers); true when it is open. A failure leaves errno set.
template <typename Char>
bool OpenFileBuffer(std::basic_filebuf<Char>& buffer, const wchar* path, std::ios::openmode mode) {
#ifdef _WIN32
  return buffer.open(path, mode) != nullptr;
#else
  char host[4096];
  const DWORD length = KvtrHostFileName(path, host, sizeof host);
  if (length == 0 || length >= sizeof host) {
    errno = ENAMETOOLONG;
    return false;
  }
  return buffer.open(host, mode) != nullptr;
#endif
}

}  // namespace kvtr::platform
