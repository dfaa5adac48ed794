// POSIX platform layer: files and paths (GetFileAttributesA/W,
// DeleteFileA/W, GetFullPathNameW, GetCurrentDirectoryA/W,
// SetCurrentDirectoryW).
//
// Paths follow Windows' rules (FullPathName) and map to host paths through
// prefix.cc; names handed out (the current directory) are Windows paths, on
// drive Z: when they lie outside the prefix. Failures carry the codes
// Windows gives: 2 for a missing file in an existing directory, 3 for a
// missing directory, 5 for a directory or a read-only file that DeleteFile
// is asked to remove. Modules live in modules.cc, the environment in
// environment.cc.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "emulation.h"
#include "layer.h"
#include "win32_api.h"

namespace {

bool IsSeparator(kvtr::wchar c) { return c == '\\' || c == '/'; }

// The current directory as SetCurrentDirectoryW was given it (Windows keeps
// the caller's case), valid while the process is still in that host folder
// on the same prefix; otherwise the working directory's Windows name.
struct CurrentDirectoryName {
  kvtr::WString windows;
  std::string host;
  std::string prefix;
};
std::mutex g_directoryLock;
CurrentDirectoryName g_directory;

std::string WorkingDirectory() {
  std::vector<char> cwd(PATH_MAX);
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    cwd.resize(cwd.size() * 2);
  }
  return cwd.data();
}

bool CurrentDirectory(kvtr::WString& out, DWORD& error) {
  const std::string host = WorkingDirectory();
  if (host.empty()) {
    error = kvtr::posix::ErrnoToWin32(errno, host);
    return false;
  }
  CurrentDirectoryName remembered;
  {
    std::lock_guard<std::mutex> hold(g_directoryLock);
    remembered = g_directory;
  }
  if (!remembered.windows.empty() && remembered.host == host && remembered.prefix == kvtr::posix::PrefixDirectory()) {
    out = remembered.windows;
  } else {
    out = kvtr::posix::WindowsPathOfHost(host);
  }
  return true;
}

// The current directory for the call `api` (a member of "files"); false
// with the last error set when an injected fault or the host refuses it.
bool CurrentDirectoryFor(const char* api, kvtr::WString& out) {
  if (DWORD fault = kvtr::posix::InjectedFault(api, "files")) {
    SetLastError(fault);
    return false;
  }
  DWORD error = 0;
  if (CurrentDirectory(out, error)) return true;
  SetLastError(error);
  return false;
}

// The full path from a root ("C:\", "\\server\share", "\\.\") and the
// text after it: "." and ".." resolved without climbing above the root, runs
// of separators collapsed, the last component stripped of trailing dots and
// spaces, every other component of one trailing dot.
kvtr::WString Collapse(const kvtr::WString& root, kvtr::WStringView tail) {
  std::vector<kvtr::WString> parts;
  bool trailingSeparator = false;
  bool sawSeparator = false;
  size_t at = 0;
  while (at < tail.size()) {
    if (IsSeparator(tail[at])) {
      sawSeparator = true;
      ++at;
      continue;
    }
    size_t end = at;
    while (end < tail.size() && !IsSeparator(tail[end])) ++end;
    kvtr::WString part(tail.substr(at, end - at));
    const bool last = end == tail.size();
    at = end;
    trailingSeparator = !last;
    if (part == W(".")) continue;
    if (part == W("..")) {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    if (last) {
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
      if (part.empty()) {
        trailingSeparator = true;
        continue;
      }
    } else if (part.back() == '.') {
      part.pop_back();
    }
    parts.push_back(std::move(part));
  }
  kvtr::WString out = root;
  const bool rootSeparated = !root.empty() && root.back() == '\\';
  if (parts.empty()) {
    if (!rootSeparated && sawSeparator) out.push_back('\\');
    return out;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 || !rootSeparated) out.push_back('\\');
    out += parts[i];
  }
  if (trailingSeparator) out.push_back('\\');
  return out;
}

// The root of an absolute path and the length of text it takes, or false
// for a path that needs the current directory.
bool SplitRoot(kvtr::WStringView path, kvtr::WString& root, size_t& length) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    if (path.size() >= 3 && (path[2] == '.' || path[2] == '?') && (path.size() == 3 || IsSeparator(path[3]))) {
      root = kvtr::WString{'\\', '\\', path[2], '\\'};
      length = path.size() == 3 ? 3 : 4;
      return true;
    }
    // \\server\share: the server, one separator and the share.
    size_t end = 2;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end < path.size()) {
      ++end;
      while (end < path.size() && !IsSeparator(path[end])) ++end;
    }
    root = W("\\\\") + kvtr::WString(path.substr(2, end - 2));
    for (kvtr::wchar& c : root) {
      if (c == '/') c = '\\';
    }
    length = end;
    return true;
  }
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) {
    root = kvtr::WString{path[0], ':', '\\'};
    length = 3;
    return true;
  }
  return false;
}

}  // namespace

namespace kvtr::posix {

bool FullPathName(WStringView path, WString& full, DWORD& error) {
  if (path.find_first_not_of(' ') == WStringView::npos) {
    error = ERROR_INVALID_NAME;
    return false;
  }
  WString root;
  size_t length = 0;
  if (SplitRoot(path, root, length)) {
    full = Collapse(root, path.substr(length));
    return true;
  }
  WString current;
  if (!CurrentDirectory(current, error)) return false;
  // A relative path continues the current directory; a drive-relative one
  // the current directory when it is on that drive, else the drive's root;
  // a root-relative one the root of the current directory.
  WString base = current;
  WStringView rest = path;
  if (path.size() >= 2 && path[1] == ':') {
    const bool sameDrive = current.size() >= 2 && current[1] == ':' && FoldCase(current[0]) == FoldCase(path[0]);
    if (!sameDrive) base = WString{path[0], ':', '\\'};
    rest = path.substr(2);
  }
  if (!SplitRoot(base, root, length)) {
    error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (IsSeparator(path[0])) {
    full = Collapse(root, path);
  } else {
    full = Collapse(root, base.substr(length) + W("\\") + WString(rest));
  }
  return true;
}

}  // namespace kvtr::posix

namespace kvtr::posix {

void DescriptorTraits::Close(int fd) noexcept {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

void DirectoryTraits::Close(DIR* listing) noexcept {
  const int saved = errno;
  closedir(listing);
  errno = saved;
}

void StreamTraits::Close(std::FILE* stream) noexcept {
  const int saved = errno;
  std::fclose(stream);
  errno = saved;
}

DWORD FileAttributesOf(unsigned mode) {
  DWORD attributes = S_ISDIR(mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

}  // namespace kvtr::posix

extern "C" {

DWORD GetFileAttributesW(LPCWSTR path) try {
  if (DWORD fault = kvtr::posix::InjectedFault("GetFileAttributesW", "files")) {
    SetLastError(fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string host = kvtr::posix::HostPath(path);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    SetLastError(kvtr::posix::ErrnoToWin32(errno, host));
    return INVALID_FILE_ATTRIBUTES;
  }
  return kvtr::posix::FileAttributesOf(info.st_mode);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(INVALID_FILE_ATTRIBUTES);
}

DWORD GetFileAttributesA(LPCSTR path) try {
  if (path == nullptr) return GetFileAttributesW(nullptr);
  const kvtr::WString wide = kvtr::posix::AnsiToWide(path);
  return GetFileAttributesW(wide.c_str());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(INVALID_FILE_ATTRIBUTES);
}

BOOL DeleteFileW(LPCWSTR path) try {
  if (DWORD fault = kvtr::posix::InjectedFault("DeleteFileW", "files")) {
    SetLastError(fault);
    return FALSE;
  }
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::string host = kvtr::posix::HostPath(path);
  struct stat info;
  if (lstat(host.c_str(), &info) != 0) {
    SetLastError(kvtr::posix::ErrnoToWin32(errno, host));
    return FALSE;
  }
  if (S_ISDIR(info.st_mode) || (info.st_mode & S_IWUSR) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(host.c_str()) != 0) {
    SetLastError(kvtr::posix::ErrnoToWin32(errno, host));
    return FALSE;
  }
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

BOOL DeleteFileA(LPCSTR path) try {
  if (path == nullptr) return DeleteFileW(nullptr);
  const kvtr::WString wide = kvtr::posix::AnsiToWide(path);
  return DeleteFileW(wide.c_str());
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) try {
  if (filePart != nullptr) *filePart = nullptr;
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  kvtr::WString full;
  DWORD error = 0;
  if (!kvtr::posix::FullPathName(path, full, error)) {
    SetLastError(error);
    return 0;
  }
  if (buffer == nullptr || full.size() >= size) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
  // The file part follows the last separator, unless the path ends in one
  // or that separator belongs to a leading "\\".
  const size_t last = full.rfind('\\');
  if (filePart != nullptr && last != kvtr::WString::npos && last >= 2 && last + 1 < full.size()) {
    *filePart = buffer + last + 1;
  }
  return static_cast<DWORD>(full.size());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer) try {
  kvtr::WString current;
  if (!CurrentDirectoryFor("GetCurrentDirectoryW", current)) return 0;
  if (buffer == nullptr || current.size() >= size) return static_cast<DWORD>(current.size() + 1);
  std::memcpy(buffer, current.c_str(), (current.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(current.size());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

// The W function's sizes in bytes of the ANSI code page.
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) try {
  kvtr::WString current;
  if (!CurrentDirectoryFor("GetCurrentDirectoryA", current)) return 0;
  const std::string narrow = kvtr::posix::WideToAnsi(current);
  if (buffer == nullptr || narrow.size() >= size) return static_cast<DWORD>(narrow.size() + 1);
  std::memcpy(buffer, narrow.c_str(), narrow.size() + 1);
  return static_cast<DWORD>(narrow.size());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

BOOL SetCurrentDirectoryW(LPCWSTR path) try {
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  kvtr::WString full;
  DWORD error = 0;
  if (!kvtr::posix::FullPathName(path, full, error)) {
    SetLastError(error);
    return FALSE;
  }
  // Only a root keeps its trailing separator.
  if (full.size() > 3 && full.back() == '\\') full.pop_back();
  const std::string host = kvtr::posix::HostPath(full);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) {
    SetLastError(kvtr::posix::ErrnoToWin32(errno, host));
    return FALSE;
  }
  if (!S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (chdir(host.c_str()) != 0) {
    SetLastError(kvtr::posix::ErrnoToWin32(errno, host));
    return FALSE;
  }
  CurrentDirectoryName name{full, WorkingDirectory(), kvtr::posix::PrefixDirectory()};
  std::lock_guard<std::mutex> hold(g_directoryLock);
  g_directory = std::move(name);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

}  // extern "C"
