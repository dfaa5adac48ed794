// POSIX platform layer: modules, files and the environment
// (GetModuleFileNameW, GetModuleHandleW, GetFileAttributesA/W,
// DeleteFileA/W, ExpandEnvironmentStringsA/W, GetFullPathNameW).
//
// Drive paths live in the prefix (see prefix.cc); other paths are host
// paths. Failures carry the codes Windows gives: 2 for a missing file in an
// existing directory, 3 for a missing directory, 5 for a directory or a
// read-only file that DeleteFile is asked to remove.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  std::vector<char> target(4096);
  ssize_t got = readlink("/proc/self/exe", target.data(), target.size() - 1);
  if (got <= 0) return kvtr::WString();
  return kvtr::posix::Utf8ToUtf16(std::string_view(target.data(), static_cast<size_t>(got)));
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

// Resolves "." and ".." and joins with `separator`; `root` is kept as is.
kvtr::WString Normalize(const kvtr::WString& root, kvtr::WStringView rest, kvtr::wchar separator) {
  std::vector<kvtr::WString> parts;
  kvtr::WString current;
  auto flush = [&] {
    if (current == W("..")) {
      if (!parts.empty()) parts.pop_back();
    } else if (!current.empty() && current != W(".")) {
      parts.push_back(current);
    }
    current.clear();
  };
  for (kvtr::wchar c : rest) {
    if (IsSeparator(c)) flush();
    else current.push_back(c);
  }
  const bool trailing = !rest.empty() && IsSeparator(rest.back());
  flush();
  kvtr::WString out = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 || (!out.empty() && out.back() != separator)) out.push_back(separator);
    out += parts[i];
  }
  if (trailing && !parts.empty()) out.push_back(separator);
  if (out.empty()) out.push_back(separator);
  return out;
}

kvtr::WString FullPath(kvtr::WStringView path) {
  if (path.size() >= 2 && path[1] == ':') {
    kvtr::WString root{path[0], ':', '\\'};
    return Normalize(root, path.substr(2), '\\');
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return Normalize(W("\\\\"), path.substr(2), '\\');
  }
  if (IsSeparator(path[0])) return Normalize(W("/"), path.substr(1), '/');
  std::vector<char> cwd(4096);
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return kvtr::WString();
  kvtr::WString base = kvtr::posix::Utf8ToUtf16(cwd.data());
  return Normalize(W("/"), base + W("/") + kvtr::WString(path), '/');
}

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

void FilesResetControls() {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = false;
  g_moduleOverride.clear();
}

}  // namespace kvtr::posix

extern "C" {

void KvtrEmu_SetModuleFileName(const WCHAR* path) {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = path != nullptr;
  g_moduleOverride = path != nullptr ? kvtr::WString(path) : kvtr::WString();
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return reinterpret_cast<HMODULE>(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD));
  const std::string name = kvtr::posix::Utf16ToUtf8(moduleName);
  void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  dlclose(handle);  // NOLOAD took a reference; a module handle does not
  return reinterpret_cast<HMODULE>(handle);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (DWORD fault = kvtr::posix::InjectedFault("GetModuleFileNameW", "files")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString path;
  link_map* map = nullptr;
  if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != 0) {
    path = kvtr::posix::Utf8ToUtf16(map->l_name);
  } else {
    path = ExecutablePath();
  }
  if (path.empty()) {
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
}

DWORD GetFileAttributesW(LPCWSTR path) {
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
}

DWORD GetFileAttributesA(LPCSTR path) {
  if (path == nullptr) return GetFileAttributesW(nullptr);
  const kvtr::WString wide = kvtr::posix::AnsiToWide(path);
  return GetFileAttributesW(wide.c_str());
}

BOOL DeleteFileW(LPCWSTR path) {
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
}

BOOL DeleteFileA(LPCSTR path) {
  if (path == nullptr) return DeleteFileW(nullptr);
  const kvtr::WString wide = kvtr::posix::AnsiToWide(path);
  return DeleteFileW(wide.c_str());
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) {
  if (DWORD fault = kvtr::posix::InjectedFault("ExpandEnvironmentStringsW", "environment")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return CopyExpansion<WCHAR>(Expand(source), dest, size);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size) {
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
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (path[0] == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  const kvtr::WString full = FullPath(path);
  if (full.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || full.size() + 1 > size) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
  if (filePart != nullptr) {
    const size_t last = full.find_last_of(W("\\/"));
    const bool endsInSeparator = last == full.size() - 1;
    *filePart = endsInSeparator ? nullptr : buffer + (last == kvtr::WString::npos ? 0 : last + 1);
  }
  return static_cast<DWORD>(full.size());
}

}  // extern "C"
