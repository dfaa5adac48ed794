// POSIX platform layer: modules, files, paths and the environment
// (GetModuleFileNameW, GetModuleHandleW, GetFileAttributesA/W,
// DeleteFileA/W, ExpandEnvironmentStringsA/W, GetFullPathNameW,
// GetCurrentDirectoryW, SetCurrentDirectoryW).
//
// Paths follow Windows' rules (FullPathName) and map to host paths through
// prefix.cc; names handed out (module names, the current directory) are
// Windows paths, on drive Z: when they lie outside the prefix. Failures
// carry the codes Windows gives: 2 for a missing file in an existing
// directory, 3 for a missing directory, 5 for a directory or a read-only
// file that DeleteFile is asked to remove.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
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

extern char** environ;

namespace {

std::mutex g_moduleLock;
bool g_moduleOverridden = false;
kvtr::WString g_moduleOverride;

kvtr::WString ExecutablePath() {
  {
    std::lock_guard<std::mutex> hold(g_moduleLock);
    if (g_moduleOverridden) return g_moduleOverride;
  }
  std::vector<char> target(PATH_MAX);
  ssize_t got = readlink("/proc/self/exe", target.data(), target.size() - 1);
  if (got <= 0) return kvtr::WString();
  return kvtr::posix::WindowsPathOfHost(std::string_view(target.data(), static_cast<size_t>(got)));
}

// Looks a module handle up in the loader's list without dereferencing it:
// only handles dlopen gave out (link maps) are modules. The loader keeps the
// list unchanged while dl_iterate_phdr runs, so the walk happens inside it.
struct ModuleSearch {
  const void* handle = nullptr;
  link_map* head = nullptr;
  bool found = false;
  std::string name;  // empty for the executable
};

int SearchModules(dl_phdr_info*, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (link_map* map = search->head; map != nullptr; map = map->l_next) {
    if (map != search->handle) continue;
    search->found = true;
    if (map->l_name != nullptr) search->name = map->l_name;
    break;
  }
  return 1;  // one walk is enough
}

// The Windows path of a loaded module, or false when `module` is none.
bool ModulePath(HMODULE module, kvtr::WString& path) {
  if (module != nullptr) {
    ModuleSearch search;
    search.handle = module;
    void* self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
    if (self == nullptr || dlinfo(self, RTLD_DI_LINKMAP, &search.head) != 0 || search.head == nullptr) return false;
    while (search.head->l_prev != nullptr) search.head = search.head->l_prev;
    dl_iterate_phdr(SearchModules, &search);
    if (!search.found) return false;
    if (!search.name.empty()) {
      path = kvtr::posix::WindowsPathOfHost(search.name);
      return true;
    }
  }
  path = ExecutablePath();
  return !path.empty();
}

bool IsSeparator(kvtr::wchar c) { return c == '\\' || c == '/'; }

// An environment variable by name, without regard to case as on Windows;
// windir and SystemRoot fall back to C:\Windows.
bool LookupVariable(kvtr::WStringView name, kvtr::WString& value) {
  const std::string wanted = kvtr::posix::Utf16ToUtf8(name);
  if (const char* exact = std::getenv(wanted.c_str())) {
    value = kvtr::posix::Utf8ToUtf16(exact);
    return true;
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;
    const kvtr::WString candidate = kvtr::posix::Utf8ToUtf16(std::string_view(*entry, equals - *entry));
    if (kvtr::posix::EqualNoCase(candidate, name)) {
      value = kvtr::posix::Utf8ToUtf16(equals + 1);
      return true;
    }
  }
  if (kvtr::posix::EqualNoCase(name, W("windir")) || kvtr::posix::EqualNoCase(name, W("SystemRoot"))) {
    value = W("C:\\Windows");
    return true;
  }
  return false;
}

// %NAME% is replaced when NAME is set; an unset "%NAME%" and a lone '%'
// stay as written.
kvtr::WString Expand(kvtr::WStringView source) {
  kvtr::WString out;
  size_t i = 0;
  while (i < source.size()) {
    if (source[i] != '%') {
      out.push_back(source[i++]);
      continue;
    }
    const size_t close = source.find('%', i + 1);
    if (close == kvtr::WStringView::npos) {
      out.append(source.substr(i));
      break;
    }
    kvtr::WString value;
    const kvtr::WStringView name = source.substr(i + 1, close - i - 1);
    if (!name.empty() && LookupVariable(name, value)) {
      out += value;
    } else {
      out.append(source.substr(i, close - i + 1));
    }
    i = close + 1;
  }
  return out;
}

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

namespace {

template <typename Unit>
DWORD CopyExpansion(const std::basic_string<Unit>& text, Unit* dest, DWORD size) {
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (dest == nullptr || size == 0) return needed;
  if (needed > size) {
    std::memcpy(dest, text.data(), (size - 1) * sizeof(Unit));
    dest[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return needed;
  }
  std::memcpy(dest, text.c_str(), needed * sizeof(Unit));
  return needed;
}

}  // namespace

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

void FilesResetControls() {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = false;
  g_moduleOverride.clear();
}

}  // namespace kvtr::posix

extern "C" {

void KvtrEmu_SetModuleFileName(const WCHAR* path) try {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = path != nullptr;
  g_moduleOverride = path != nullptr ? kvtr::WString(path) : kvtr::WString();
} catch (...) {
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) try {
  if (moduleName == nullptr) return reinterpret_cast<HMODULE>(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD));
  const std::string name = kvtr::posix::Utf16ToUtf8(moduleName);
  void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  dlclose(handle);  // NOLOAD took a reference; a module handle does not
  return reinterpret_cast<HMODULE>(handle);
} catch (...) {
  return kvtr::posix::FailWithException<HMODULE>(nullptr);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("GetModuleFileNameW", "files")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString path;
  if (!ModulePath(module, path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    // Cut to size units including the terminator; the result is the size.
    std::memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(path.size());
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

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
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
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

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ExpandEnvironmentStringsW", "environment")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return CopyExpansion<WCHAR>(Expand(source), dest, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ExpandEnvironmentStringsA", "environment")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string expanded = kvtr::posix::WideToAnsi(Expand(kvtr::posix::AnsiToWide(source)));
  return CopyExpansion<char>(expanded, dest, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
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
  DWORD error = 0;
  if (!CurrentDirectory(current, error)) {
    SetLastError(error);
    return 0;
  }
  if (buffer == nullptr || current.size() >= size) return static_cast<DWORD>(current.size() + 1);
  std::memcpy(buffer, current.c_str(), (current.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(current.size());
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
