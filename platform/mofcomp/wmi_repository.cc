#include "platform/mofcomp/wmi_repository.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "platform/handle_owners.h"
#include "platform/mofcomp/mof_parser.h"
#include "platform/mofcomp/mof_status.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::mof {

struct Transaction::Namespace {
  WString name;         // as first spelled
  std::string key;      // file name without ".mof"
  std::vector<ClassDef> classes;
  bool dirty = false;

  ClassDef* Find(WStringView className) {
    for (ClassDef& c : classes) {
      if (SameName(c.name, className)) return &c;
    }
    return nullptr;
  }
};

namespace {

using Path = std::filesystem::path;
using Namespace = Transaction::Namespace;

const wchar* const kBuiltinNamespaces[] = {W("root"), W("root\\default"), W("root\\cimv2"), W("root\\wmi")};

// The classes root\cimv2 holds before anything is compiled into it: the
// bases product performance classes derive from.
constexpr char kCimv2Classes[] = R"(
[Abstract, Description("Statistical information about a managed element.")]
class CIM_StatisticalInformation
{
  [MaxLen(64)] string Caption;
  string Description;
  [MaxLen(256)] string Name;
};
[Abstract]
class Win32_Perf : CIM_StatisticalInformation
{
  uint64 Frequency_Object;
  uint64 Frequency_PerfTime;
  uint64 Frequency_Sys100NS;
  uint64 Timestamp_Object;
  uint64 Timestamp_PerfTime;
  uint64 Timestamp_Sys100NS;
};
[Abstract]
class Win32_PerfRawData : Win32_Perf
{
};
[Abstract]
class Win32_PerfFormattedData : Win32_Perf
{
};
)";

std::mutex g_processLock;

Path RepositoryFolder() {
#ifdef _WIN32
  wchar folder[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH + 1);
  const WString windows = length > 0 && length <= MAX_PATH ? WString(folder, length) : WString(W("C:\\Windows"));
  return Path(windows + W("\\kvtr-wbem"));
#else
  return Path(std::string(KvtrEmu_Prefix()) + "/wbem");
#endif
}

// File name of a namespace: lower-case parts joined by '.' (parts are
// letters, digits and '_', so the name is unambiguous).
std::string FileKey(WStringView nameSpace) {
  std::string key;
  for (wchar c : nameSpace) {
    if (c == '\\') key.push_back('.');
    else if (c >= 'A' && c <= 'Z') key.push_back(static_cast<char>(c + 0x20));
    else key.push_back(static_cast<char>(c));
  }
  return key;
}

// An absolute namespace path in any spelling, or empty.
WString Canonical(WStringView nameSpace) { return ResolveNamespace(WStringView(), nameSpace); }

const wchar* Builtin(WStringView nameSpace) {
  for (const wchar* builtin : kBuiltinNamespaces) {
    if (SameName(builtin, nameSpace)) return builtin;
  }
  return nullptr;
}

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadBytes(const Path& path, std::string* out) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return error ? ReadResult::kFailed : ReadResult::kMissing;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadResult::kFailed;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? ReadResult::kFailed : ReadResult::kRead;
}

// Writes through a temporary file named for this process (other processes
// never touch it; threads of this one hold the repository lock in turn),
// then renames it over the target, so a reader sees the old file or the
// new one, never a part.
bool WriteAtomically(const Path& target, const std::string& bytes) {
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  Path temporary = target;
  temporary += "." + std::to_string(process) + ".tmp";
  bool written = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    written = static_cast<bool>(out);
  }
#ifdef _WIN32
  written = written &&
            MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  written = written && std::rename(temporary.c_str(), target.c_str()) == 0;
#endif
  if (!written) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
  }
  return written;
}

// Reads one namespace: its file, or the built-in content when it has none.
// kMissing when the namespace does not exist.
ReadResult ReadNamespace(WStringView nameSpace, Namespace* out) {
  const WString canonical = Canonical(nameSpace);
  if (canonical.empty()) return ReadResult::kMissing;
  out->key = FileKey(canonical);
  std::string bytes;
  const ReadResult read = ReadBytes(RepositoryFolder() / (out->key + ".mof"), &bytes);
  if (read == ReadResult::kFailed) return read;
  if (read == ReadResult::kMissing) {
    const wchar* builtin = Builtin(canonical);
    if (builtin == nullptr) return ReadResult::kMissing;
    out->name = builtin;
    if (out->key == "root.cimv2") bytes = kCimv2Classes;
  }
  const ParseResult parsed = ParseMof(MofFileText(bytes), out->name.empty() ? canonical : out->name);
  if (parsed.error != 0) return ReadResult::kFailed;
  if (out->name.empty()) out->name = parsed.lastNamespace;
  for (const Item& item : parsed.items) {
    if (item.kind == Item::Kind::kClass) out->classes.push_back(item.classDef);
  }
  return ReadResult::kRead;
}

// The bytes of a namespace's file (see MofFileBytes).
std::string NamespaceFileBytes(const Namespace& ns) {
  std::string text = "// WMI repository of the emulated machine: namespace " + ToUtf8(ns.name) +
                     ".\n// Rewritten by the MOF compiler emulator after each compilation; the\n"
                     "// classes are MOF and are read back with the compiler's own parser.\n";
  text += "#pragma namespace(" + MofString(W("\\\\.\\") + ns.name) + ")\n";
  for (const ClassDef& c : ns.classes) text += "\n" + ClassToMof(c);
  return MofFileBytes(text);
}

bool IsDescendant(const Namespace& ns, const ClassDef& c, WStringView ancestor) {
  const ClassDef* current = &c;
  for (size_t depth = 0; depth <= ns.classes.size() && !current->superclass.empty(); ++depth) {
    if (SameName(current->superclass, ancestor)) return true;
    const ClassDef* parent = nullptr;
    for (const ClassDef& other : ns.classes) {
      if (SameName(other.name, current->superclass)) parent = &other;
    }
    if (parent == nullptr) return false;
    current = parent;
  }
  return false;
}

bool HasChildren(const Namespace& ns, WStringView className) {
  return std::any_of(ns.classes.begin(), ns.classes.end(),
                     [&](const ClassDef& c) { return SameName(c.superclass, className); });
}

}  // namespace

// ---- Transaction ----

struct Transaction::Lock {
  std::unique_lock<std::mutex> process{g_processLock};
  bool held = false;  // nothing is written without it
#ifdef _WIN32
  UniqueKernelHandle mutex;
  Lock() {
    mutex.reset(CreateMutexW(nullptr, FALSE, W("Local\\kvtr-wbem-repository")));
    if (!mutex) return;
    // An abandoned mutex is owned all the same; its files are whole, since
    // each was renamed into place.
    const DWORD waited = WaitForSingleObject(mutex.get(), INFINITE);
    held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~Lock() {
    if (held) ReleaseMutex(mutex.get());
  }
#else
  int fd = -1;
  Lock() {
    std::error_code ignored;
    std::filesystem::create_directories(RepositoryFolder(), ignored);
    fd = open((RepositoryFolder() / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    held = locked == 0;
  }
  ~Lock() {
    if (fd >= 0) close(fd);
  }
#endif
};

Transaction::Transaction() : lock_(std::make_unique<Lock>()) {}
Transaction::~Transaction() = default;

HRESULT Transaction::Load(WStringView nameSpace, Namespace** out) {
  *out = nullptr;
  const WString canonical = Canonical(nameSpace);
  if (canonical.empty()) return status::kInvalidNamespace;
  const std::string key = FileKey(canonical);
  for (auto& ns : loaded_) {
    if (ns->key == key) {
      *out = ns.get();
      return 0;
    }
  }
  auto ns = std::make_unique<Namespace>();
  switch (ReadNamespace(canonical, ns.get())) {
    case ReadResult::kRead:
      break;
    case ReadResult::kMissing:
      return status::kInvalidNamespace;
    case ReadResult::kFailed:
      return status::kFailed;
  }
  *out = ns.get();
  loaded_.push_back(std::move(ns));
  return 0;
}

HRESULT Transaction::Apply(const Item& item, LONG classFlags) {
  Namespace* ns = nullptr;
  if (HRESULT hr = Load(item.nameSpace, &ns); hr != 0) return hr;
  switch (item.kind) {
    case Item::Kind::kClass: {
      const ClassDef& c = item.classDef;
      if (!c.superclass.empty() && (SameName(c.superclass, c.name) || ns->Find(c.superclass) == nullptr)) {
        return status::kInvalidSuperclass;
      }
      ClassDef* existing = ns->Find(c.name);
      if (existing != nullptr) {
        if (classFlags & update::kCreateOnly) return status::kAlreadyExists;
        // Moving a class with subclasses elsewhere in the hierarchy would
        // change theirs too (and could make a cycle).
        if (!SameName(existing->superclass, c.superclass) && HasChildren(*ns, c.name)) {
          return status::kClassHasChildren;
        }
        *existing = c;
      } else {
        if (classFlags & update::kUpdateOnly) return status::kNotFound;
        ns->classes.push_back(c);
      }
      ns->dirty = true;
      return 0;
    }
    case Item::Kind::kDeleteClass: {
      const ClassDef* target = ns->Find(item.deleteName);
      if (target == nullptr) return item.deleteMustExist ? status::kNotFound : 0;
      // Deleting a class deletes every class derived from it, as WMI does.
      const WString name = target->name;
      std::vector<ClassDef> kept;
      for (ClassDef& c : ns->classes) {
        if (!SameName(c.name, name) && !IsDescendant(*ns, c, name)) kept.push_back(std::move(c));
      }
      ns->classes = std::move(kept);
      ns->dirty = true;
      return 0;
    }
    case Item::Kind::kInstance: {
      if (!SameName(item.instance.className, W("__Namespace"))) return status::kNotSupported;
      const Value* name = nullptr;
      for (const auto& [property, value] : item.instance.values) {
        if (SameName(property, W("Name"))) name = &value;
      }
      // The name is one part of a path: letters, digits and '_'.
      if (name == nullptr || name->kind != Value::Kind::kString || name->text.find_first_of(W("\\/")) != WString::npos ||
          Canonical(W("root\\") + name->text).empty()) {
        return status::kInvalidParameter;
      }
      const WString child = ns->name + W("\\") + name->text;
      Namespace* existing = nullptr;
      if (Load(child, &existing) == 0) return 0;
      auto created = std::make_unique<Namespace>();
      created->name = child;
      created->key = FileKey(child);
      created->dirty = true;
      loaded_.push_back(std::move(created));
      return 0;
    }
  }
  return status::kFailed;
}

HRESULT Transaction::Commit() {
  // Without the lock another compilation could be between its reading and
  // its writing, and one of the two would lose its changes.
  if (!lock_->held) return status::kFailed;
  std::error_code error;
  const Path folder = RepositoryFolder();
  std::filesystem::create_directories(folder, error);
  for (const auto& ns : loaded_) {
    if (!ns->dirty) continue;
    if (!WriteAtomically(folder / (ns->key + ".mof"), NamespaceFileBytes(*ns))) return status::kFailed;
    ns->dirty = false;
  }
  return 0;
}

// ---- reading ----

std::vector<WString> ListNamespaces() {
  std::vector<WString> names;
  for (const wchar* builtin : kBuiltinNamespaces) names.emplace_back(builtin);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(RepositoryFolder(), error)) {
    const Path file = entry.path();
    if (file.extension() != ".mof") continue;
    Namespace ns;
    const std::string stem = file.stem().string();
    WString dotted = WidenAscii(stem);
    std::replace(dotted.begin(), dotted.end(), static_cast<wchar>('.'), static_cast<wchar>('\\'));
    if (Builtin(dotted) != nullptr) continue;
    if (ReadNamespace(dotted, &ns) == ReadResult::kRead) names.push_back(ns.name);
  }
  return names;
}

bool ListClasses(WStringView nameSpace, std::vector<ClassSummary>* classes) {
  classes->clear();
  Namespace ns;
  if (ReadNamespace(nameSpace, &ns) != ReadResult::kRead) return false;
  for (const ClassDef& c : ns.classes) classes->push_back({c.name, c.superclass});
  return true;
}

std::optional<ClassDef> FindClass(WStringView nameSpace, WStringView className) {
  Namespace ns;
  if (ReadNamespace(nameSpace, &ns) != ReadResult::kRead) return std::nullopt;
  if (const ClassDef* found = ns.Find(className)) return *found;
  return std::nullopt;
}

}  // namespace kvtr::mof

extern "C" DWORD KvtrEmu_ListWmiClasses(const WCHAR* nameSpace, WCHAR* buffer, DWORD capacity) try {
  if (nameSpace == nullptr) return 0;
  std::vector<kvtr::mof::ClassSummary> classes;
  if (!kvtr::mof::ListClasses(nameSpace, &classes)) return 0;
  kvtr::WString list;
  for (const auto& c : classes) {
    list += c.name;
    list.push_back(0);
  }
  if (list.empty()) list.push_back(0);
  list.push_back(0);
  const DWORD needed = static_cast<DWORD>(list.size());
  if (buffer != nullptr && capacity >= needed) std::copy(list.begin(), list.end(), buffer);
  return needed;
} catch (...) {
  return 0;
}
