// The C runtime's wide-path file calls (_wfopen, _wmkdir) and the host file
// names that C++ streams open. Failures leave errno set, as the C runtime
// does; nothing here touches the Win32 last error.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "layer.h"
#include "win32_api.h"

namespace {

// The mode text of a wide mode string; empty when it holds anything but
// ASCII.
std::string NarrowMode(const WCHAR* mode) {
  std::string narrow;
  for (const WCHAR* c = mode; *c != 0; ++c) {
    if (*c >= 128) return std::string();
    narrow += static_cast<char>(*c);
  }
  return narrow;
}

}  // namespace

extern "C" {

DWORD KvtrHostFileName(LPCWSTR path, LPSTR buffer, DWORD size) try {
  if (path == nullptr || path[0] == 0) return 0;
  const std::string host = kvtr::posix::HostPath(path);
  if (buffer == nullptr || size <= host.size()) return static_cast<DWORD>(host.size() + 1);
  std::memcpy(buffer, host.c_str(), host.size() + 1);
  return static_cast<DWORD>(host.size());
} catch (...) {
  return 0;
}

FILE* _wfopen(const WCHAR* path, const WCHAR* mode) try {
  if (path == nullptr || mode == nullptr || path[0] == 0) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string narrowMode = NarrowMode(mode);
  if (narrowMode.empty()) {
    errno = EINVAL;
    return nullptr;
  }
  return std::fopen(kvtr::posix::HostPath(path).c_str(), narrowMode.c_str());
} catch (...) {
  errno = ENOMEM;
  return nullptr;
}

int _wmkdir(const WCHAR* path) try {
  if (path == nullptr || path[0] == 0) {
    errno = ENOENT;
    return -1;
  }
  return mkdir(kvtr::posix::HostPath(path).c_str(), 0777);
} catch (...) {
  errno = ENOMEM;
  return -1;
}

}  // extern "C"
