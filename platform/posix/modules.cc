// POSIX platform layer: modules (LoadLibraryA/W, GetProcAddress,
// FreeLibrary, GetModuleHandleW, GetModuleFileNameA/W) over dlopen and dlsym.
//
// A module handle is the loader's link map of the module, which is what
// dlopen hands out. A value is used as a handle only after it has been found
// in the loader's list, so a handle that is no module is never dereferenced.
// The system DLLs the library asks for are this layer itself; the layer and
// the executable are never unloaded, as Windows never unloads a statically
// imported DLL. Names handed out are Windows paths (drive Z: outside the
// prefix); names taken in with a folder go through the path mapping.
// No product headers.
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "emulation.h"
#include "layer.h"
#include "win32_api.h"

namespace {

std::mutex g_moduleLock;
bool g_moduleOverridden = false;
kvtr::WString g_moduleOverride;
// Functions of the system DLLs that GetProcAddress does not find.
std::vector<std::string> g_hiddenProcedures;

bool IsHidden(const char* procName) {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  for (const std::string& hidden : g_hiddenProcedures) {
    if (hidden == procName) return true;
  }
  return false;
}

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

// An address inside this layer, to find the layer's own link map.
void LayerAnchor() {}

HMODULE LayerModule() {
  static const HMODULE layer = [] {
    Dl_info info;
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&LayerAnchor), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
      return HMODULE{};
    }
    // A library the process loaded as a dependency has no lookup scope for
    // dlsym until it is opened once; opening it (it is already loaded)
    // gives that and the same link map. The reference is never dropped.
    if (void* opened = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD)) return reinterpret_cast<HMODULE>(opened);
    return reinterpret_cast<HMODULE>(map);
  }();
  return layer;
}

HMODULE ExecutableModule() {
  static const HMODULE executable = reinterpret_cast<HMODULE>(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD));
  return executable;
}

// Looks a module up in the loader's list, by handle or by file name, without
// dereferencing anything but the list. The loader keeps the list unchanged
// while dl_iterate_phdr runs, so the walk happens inside it; it allocates
// nothing there, as nothing may leave the loader's lock by an exception.
struct ModuleSearch {
  const void* handle = nullptr;  // the handle looked for, or
  const char* fileName = nullptr;  // a file name (UTF-8, no folder; ASCII case ignored)
  link_map* head = nullptr;
  link_map* found = nullptr;
  char name[PATH_MAX] = {};  // its host path; empty for the executable
};

int SearchModules(dl_phdr_info*, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (link_map* map = search->head; map != nullptr; map = map->l_next) {
    if (search->handle != nullptr) {
      if (map != search->handle) continue;
    } else {
      if (map->l_name == nullptr) continue;
      const char* slash = std::strrchr(map->l_name, '/');
      if (strcasecmp(slash != nullptr ? slash + 1 : map->l_name, search->fileName) != 0) continue;
    }
    search->found = map;
    if (map->l_name != nullptr) std::snprintf(search->name, sizeof search->name, "%s", map->l_name);
    break;
  }
  return 1;  // one walk is enough
}

bool Search(ModuleSearch& search) {
  void* self = ExecutableModule();
  if (self == nullptr || dlinfo(self, RTLD_DI_LINKMAP, &search.head) != 0 || search.head == nullptr) return false;
  while (search.head->l_prev != nullptr) search.head = search.head->l_prev;
  dl_iterate_phdr(SearchModules, &search);
  return search.found != nullptr;
}

bool IsLoadedModule(HMODULE module) {
  if (module == nullptr) return false;
  ModuleSearch search;
  search.handle = module;
  return Search(search);
}

// The Windows path of a loaded module (NULL: the executable), or false when
// `module` is none.
bool ModulePath(HMODULE module, kvtr::WString& path) {
  if (module != nullptr) {
    ModuleSearch search;
    search.handle = module;
    if (!Search(search)) return false;
    if (search.name[0] != 0) {
      path = kvtr::posix::WindowsPathOfHost(search.name);
      return true;
    }
  }
  path = ExecutablePath();
  return !path.empty();
}

bool HasFolder(kvtr::WStringView name) {
  return name.find_first_of(W("\\/:")) != kvtr::WStringView::npos;
}

// kernel32, KERNEL32.DLL, ... : the system DLLs this layer stands for.
bool IsSystemLibrary(kvtr::WStringView name) {
  if (name.size() > 4 && kvtr::posix::EqualNoCase(name.substr(name.size() - 4), W(".dll"))) {
    name.remove_suffix(4);
  }
  for (const kvtr::wchar* system : {W("kernel32"), W("advapi32"), W("psapi"), W("version"), W("ole32"), W("ws2_32")}) {
    if (kvtr::posix::EqualNoCase(name, system)) return true;
  }
  return false;
}

bool FileExists(const std::string& host) {
  struct stat info;
  return stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Where a library name without a folder is looked for first, as Windows
// does: the executable's folder. Empty when it is not there.
std::string BesideExecutable(kvtr::WStringView name) {
  const kvtr::WString executable = ExecutablePath();
  const size_t folder = executable.rfind('\\');
  if (folder == kvtr::WString::npos) return std::string();
  const std::string host = kvtr::posix::HostPath(executable.substr(0, folder + 1) + kvtr::WString(name));
  return FileExists(host) ? host : std::string();
}

HMODULE LoadModule(const WCHAR* fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  kvtr::WStringView name(fileName);
  // Windows ignores trailing spaces of the name.
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  if (name.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (IsSystemLibrary(name)) return LayerModule();
  std::string host;
  if (HasFolder(name)) {
    host = kvtr::posix::HostPath(name);
  } else {
    host = BesideExecutable(name);
    if (host.empty()) host = kvtr::posix::Utf16ToUtf8(name);  // the loader's search
  }
  void* module = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(module);
}

// A loaded module by name, without taking a reference; NULL when none.
HMODULE FindLoadedModule(kvtr::WStringView name) {
  if (name.empty()) return nullptr;
  if (IsSystemLibrary(name)) return LayerModule();
  const std::string host = HasFolder(name) ? kvtr::posix::HostPath(name) : kvtr::posix::Utf16ToUtf8(name);
  if (void* module = dlopen(host.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
    dlclose(module);  // NOLOAD took a reference; a module handle does not
    return reinterpret_cast<HMODULE>(module);
  }
  if (HasFolder(name)) return nullptr;
  // Windows matches the file name without regard to case.
  ModuleSearch search;
  search.fileName = host.c_str();
  return Search(search) ? reinterpret_cast<HMODULE>(search.found) : nullptr;
}

// The module's Windows path into `buffer` by Windows' rules: cut to size - 1
// units and a terminator when it does not fit (the result is then size,
// with ERROR_INSUFFICIENT_BUFFER), else its length with ERROR_SUCCESS.
template <typename Unit>
DWORD DeliverModuleName(const std::basic_string<Unit>& name, Unit* buffer, DWORD size, size_t cut) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() >= size) {
    std::memcpy(buffer, name.data(), cut * sizeof(Unit));
    buffer[cut] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(Unit));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(name.size());
}

}  // namespace

namespace kvtr::posix {

void ModulesResetControls() {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = false;
  g_moduleOverride.clear();
  g_hiddenProcedures.clear();
}

}  // namespace kvtr::posix

namespace {

// The path of `module` for the call `api` (a member of "files"); false
// with the last error set for an injected fault or a handle that is not a
// loaded module.
bool ModulePathFor(const char* api, HMODULE module, kvtr::WString& path) {
  if (DWORD fault = kvtr::posix::InjectedFault(api, "files")) {
    SetLastError(fault);
    return false;
  }
  if (ModulePath(module, path)) return true;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return false;
}

}  // namespace

extern "C" {

void KvtrEmu_HideProcedure(const char* name, BOOL hidden) try {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> hold(g_moduleLock);
  std::erase(g_hiddenProcedures, std::string(name));
  if (hidden) g_hiddenProcedures.emplace_back(name);
} catch (...) {
}

void KvtrEmu_SetModuleFileName(const WCHAR* path) try {
  std::lock_guard<std::mutex> hold(g_moduleLock);
  g_moduleOverridden = path != nullptr;
  g_moduleOverride = path != nullptr ? kvtr::WString(path) : kvtr::WString();
} catch (...) {
}

HMODULE LoadLibraryW(LPCWSTR fileName) try {
  if (DWORD fault = kvtr::posix::InjectedFault("LoadLibraryW", "modules")) {
    SetLastError(fault);
    return nullptr;
  }
  return LoadModule(fileName);
} catch (...) {
  return kvtr::posix::FailWithException<HMODULE>(nullptr);
}

HMODULE LoadLibraryA(LPCSTR fileName) try {
  if (DWORD fault = kvtr::posix::InjectedFault("LoadLibraryA", "modules")) {
    SetLastError(fault);
    return nullptr;
  }
  if (fileName == nullptr) return LoadModule(nullptr);
  const kvtr::WString wide = kvtr::posix::AnsiToWide(fileName);
  return LoadModule(wide.c_str());
} catch (...) {
  return kvtr::posix::FailWithException<HMODULE>(nullptr);
}

// Only the module's own exports: dlsym also finds what the module's
// dependencies define, which GetProcAddress never does. There are no
// ordinals (a name below 0x10000).
FARPROC GetProcAddress(HMODULE module, LPCSTR procName) try {
  if (module == nullptr) module = ExecutableModule();
  if (!IsLoadedModule(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (reinterpret_cast<uintptr_t>(procName) < 0x10000 || procName[0] == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (module == LayerModule() && IsHidden(procName)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module, procName);
  Dl_info info;
  link_map* owner = nullptr;
  if (symbol == nullptr || dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
      owner != reinterpret_cast<link_map*>(module)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
} catch (...) {
  return kvtr::posix::FailWithException<FARPROC>(nullptr);
}

BOOL FreeLibrary(HMODULE module) try {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!IsLoadedModule(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // The layer and the executable stay; so does a module the process loaded
  // as a dependency, whose reference the loader refuses to drop.
  if (module != LayerModule() && module != ExecutableModule()) dlclose(module);
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) try {
  if (moduleName == nullptr) return ExecutableModule();
  const HMODULE module = FindLoadedModule(moduleName);
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return module;
} catch (...) {
  return kvtr::posix::FailWithException<HMODULE>(nullptr);
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module) try {
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (module != nullptr) *module = nullptr;
  if (module == nullptr || (flags & ~kKnown) != 0 ||
      (flags & (GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) ==
          (GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HMODULE found = nullptr;
  std::string host;  // the file to open again for a reference
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info;
    link_map* map = nullptr;
    if (name != nullptr &&
        dladdr1(reinterpret_cast<const void*>(name), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
        map != nullptr) {
      found = reinterpret_cast<HMODULE>(map);
      if (info.dli_fname != nullptr) host = info.dli_fname;
    }
  } else {
    found = name == nullptr ? ExecutableModule() : FindLoadedModule(name);
    kvtr::WString path;
    if (found != nullptr && name != nullptr && ModulePath(found, path)) host = kvtr::posix::HostPath(path);
  }
  if (found == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // The executable and the layer are never unloaded: their references do
  // not matter.
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0 && found != ExecutableModule() &&
      found != LayerModule() && !host.empty()) {
    const int pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0;
    dlopen(host.c_str(), RTLD_LAZY | RTLD_NOLOAD | pin);
  }
  *module = found;
  return TRUE;
} catch (...) {
  return kvtr::posix::FailWithException<BOOL>(FALSE);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) try {
  kvtr::WString path;
  if (!ModulePathFor("GetModuleFileNameW", module, path)) return 0;
  return DeliverModuleName<WCHAR>(path, buffer, size, size > 0 ? size - 1 : 0);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

// A cut name ends on a whole character of the ANSI code page.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) try {
  kvtr::WString path;
  if (!ModulePathFor("GetModuleFileNameA", module, path)) return 0;
  const std::string narrow = kvtr::posix::WideToAnsi(path);
  size_t cut = size > 0 ? size - 1 : 0;
  if (GetACP() == CP_UTF8 && cut < narrow.size()) {
    while (cut > 0 && (static_cast<unsigned char>(narrow[cut]) & 0xC0) == 0x80) --cut;
  }
  return DeliverModuleName<char>(narrow, buffer, size, cut);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

}  // extern "C"
