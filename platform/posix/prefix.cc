// POSIX platform layer: the emulated machine's directory (the prefix), the
// mapping between Windows paths and host paths, and case folding of names.
//
// The prefix is $KVTR_PREFIX, else $HOME/.kvtr; it holds the registry file,
// the WMI repository and one folder per drive ("C:\..." lives in drive_c).
// The rest of the host is drive Z: ("Z:\" is "/"), as under Wine, so every
// host path has a Windows name and every name handed out maps back.
// Windows names are case-insensitive, so each component of a drive path is
// matched against the existing entries without regard to case.
#include <dirent.h>
#include <limits.h>
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

namespace {

std::mutex g_prefixLock;
std::string g_prefix;  // empty until first use

std::string DefaultPrefix() {
  if (const char* chosen = std::getenv("KVTR_PREFIX"); chosen != nullptr && *chosen != 0) return chosen;
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) return std::string(home) + "/.kvtr";
  return "/tmp/kvtr-" + std::to_string(getuid());
}

bool MakeDirectories(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Lays out a new machine: the prefix and the system directory of drive C.
bool PreparePrefix(const std::string& prefix) {
  return MakeDirectories(prefix) && MakeDirectories(prefix + "/drive_c/Windows/System32");
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// The entry of `directory` whose name equals `name` without regard to case,
// or `name` itself when there is none.
std::string MatchEntry(const std::string& directory, const std::string& name) {
  if (Exists(directory + "/" + name)) return name;
  const kvtr::posix::UniqueDir listing(opendir(directory.c_str()));
  if (!listing) return name;
  const kvtr::WString wanted = kvtr::posix::Utf8ToUtf16(name);
  while (dirent* entry = readdir(listing.get())) {
    if (kvtr::posix::EqualNoCase(kvtr::posix::Utf8ToUtf16(entry->d_name), wanted)) return entry->d_name;
  }
  return name;
}

// Windows separators as host ones, for paths that name no drive.
std::string SlashForm(kvtr::WStringView path) {
  std::string host = kvtr::posix::Utf16ToUtf8(path);
  for (char& c : host) {
    if (c == '\\') c = '/';
  }
  return host;
}

// The components of an absolute host path with "." and ".." resolved.
std::vector<std::string> HostComponents(std::string_view path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    at = end + 1;
  }
  return parts;
}

std::string JoinHost(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

}  // namespace

namespace kvtr::posix {

const std::string& PrefixDirectory() {
  std::lock_guard<std::mutex> hold(g_prefixLock);
  if (g_prefix.empty()) {
    g_prefix = DefaultPrefix();
    PreparePrefix(g_prefix);
  }
  return g_prefix;
}

std::string HostPath(WStringView windowsPath) {
  WString full;
  DWORD ignored = 0;
  if (windowsPath.empty() || !FullPathName(windowsPath, full, ignored)) return SlashForm(windowsPath);
  if (full.size() < 3 || full[1] != ':') return SlashForm(full);
  // Drive Z: is the host's root; the other letters are folders of the
  // prefix. A drive that is not a letter gets a folder that never exists.
  const wchar drive = static_cast<wchar>(full[0] | 0x20);
  std::string host;
  if (drive != 'z') {
    host = PrefixDirectory() + "/drive_";
    if (drive >= 'a' && drive <= 'y') host.push_back(static_cast<char>(drive));
  }
  bool resolving = true;
  size_t at = 3;
  while (at < full.size()) {
    size_t end = full.find('\\', at);
    if (end == WString::npos) end = full.size();
    const std::string part = Utf16ToUtf8(WStringView(full).substr(at, end - at));
    at = end + 1;
    if (part.empty()) continue;
    // Once a component is missing, the rest cannot exist either.
    host += "/" + (resolving ? MatchEntry(host.empty() ? "/" : host, part) : part);
    if (resolving && !Exists(host)) resolving = false;
  }
  return host.empty() ? "/" : host;
}

WString WindowsPathOfHost(std::string_view hostPath) {
  std::string absolute(hostPath);
  if (absolute.empty() || absolute[0] != '/') {
    std::vector<char> cwd(PATH_MAX);
    if (getcwd(cwd.data(), cwd.size()) != nullptr) absolute = std::string(cwd.data()) + "/" + absolute;
  }
  const std::string path = JoinHost(HostComponents(absolute));
  // The prefix as configured and as the kernel names it (getcwd gives the
  // resolved form).
  const std::string configured = PrefixDirectory();
  std::vector<std::string> prefixes;
  if (!configured.empty() && configured[0] == '/') prefixes.push_back(JoinHost(HostComponents(configured)));
  std::vector<char> resolved(PATH_MAX);
  if (realpath(configured.c_str(), resolved.data()) != nullptr) prefixes.emplace_back(resolved.data());
  for (const std::string& prefix : prefixes) {
    const std::string drives = (prefix == "/" ? "" : prefix) + "/drive_";
    if (path.size() <= drives.size() || path.compare(0, drives.size(), drives) != 0) continue;
    const char letter = path[drives.size()];
    const size_t rest = drives.size() + 1;
    if (letter < 'a' || letter > 'y' || (path.size() > rest && path[rest] != '/')) continue;
    WString out{static_cast<wchar>(letter - 0x20), ':', '\\'};
    if (path.size() > rest + 1) out += Utf8ToUtf16(std::string_view(path).substr(rest + 1));
    for (wchar& c : out) {
      if (c == '/') c = '\\';
    }
    return out;
  }
  WString out = W("Z:") + Utf8ToUtf16(path);
  for (wchar& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

int CompareNoCase(WStringView a, WStringView b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const wchar x = FoldCase(a[i]);
    const wchar y = FoldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace kvtr::posix

extern "C" {

BOOL KvtrEmu_UsePrefix(const char* directory) try {
  std::string chosen = directory != nullptr && *directory != 0 ? std::string(directory) : DefaultPrefix();
  while (chosen.size() > 1 && chosen.back() == '/') chosen.pop_back();
  if (!PreparePrefix(chosen)) return FALSE;
  {
    std::lock_guard<std::mutex> hold(g_prefixLock);
    g_prefix = chosen;
  }
  kvtr::posix::RegistryForgetState();
  return TRUE;
} catch (...) {
  return FALSE;
}

const char* KvtrEmu_Prefix(void) try {
  return kvtr::posix::PrefixDirectory().c_str();
} catch (...) {
  return "";
}

size_t KvtrEmu_HostPath(const WCHAR* windowsPath, char* out, size_t size) try {
  const std::string host = kvtr::posix::HostPath(windowsPath ? kvtr::WStringView(windowsPath) : kvtr::WStringView());
  if (out != nullptr && size > host.size()) {
    std::memcpy(out, host.c_str(), host.size() + 1);
    return host.size();
  }
  return host.size() + 1;
} catch (...) {
  return 0;
}

}  // extern "C"
