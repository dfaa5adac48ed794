// kvtr-setup: the host program. It loads the library at run time as a
// setup program does, installs a logging callback, initialises COM on its
// thread and runs one export per command, printing every report and, last,
// the export's result. On Linux it also imports and exports .reg files and
// lists the WMI classes of the emulated machine.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common_utils/environment/report_environment.h"
#include "platform/win32.h"
#include "tools/backup.h"
#include "tools/change_report.h"
#include "tools/reg_model.h"

#ifdef _WIN32
#include <io.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include "platform/mofcomp/wmi_repository.h"
#include "platform/posix/emulation.h"
#include "tools/machine_snapshot.h"
#endif

namespace {

using kvtr::WideLength;
using kvtr::WString;

extern "C" {
typedef void(__cdecl* Callback)(int level, void*, void*, void*, const WCHAR* message, const char* function, int line,
                                void* context);
typedef void*(__cdecl* SetlogExport)(void*, Callback);
typedef int(__cdecl* DirectoryExport)(const WCHAR*);
typedef int(__cdecl* PlainExport)();
}

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: kvtr-setup [--prefix DIR] [--library PATH] COMMAND [ARGUMENTS]\n"
    "\n"
    "Runs one export of the kvtr library, printing every report it makes\n"
    "(level, function, line, message) and then \"result: N\".\n"
    "\n"
    "commands:\n"
    "  install-router [DIR]            compile the router's MOF files (InstRouter)\n"
    "  install-agent [DIR]             compile the agent's MOF file (InstAgent)\n"
    "  uninstall-router                delete the router's classes (UnInstRouter)\n"
    "  uninstall-agent                 delete the agent's class (UnInstAgent)\n"
    "  remove-old-counters             remove the legacy performance DLLs (RemoveOldCounters)\n"
    "  uninstall-old-counters SERVICE  remove a service's perflib counter names (UnInstOldCounters)\n"
    "  env                             write the environment report of this machine\n"
    "  diff [--json] BEFORE.reg AFTER.reg\n"
    "                                  what differs between two registry exports\n"
#ifndef _WIN32
    "  reg import FILE                 import a .reg file into the emulated registry\n"
    "  reg export FILE [KEY]           export the registry, or one key with its subtree\n"
    "  reg query KEY                   show the values of one key\n"
    "  reg compact                     fold the journal of changes into a new snapshot\n"
    "  wmi classes [NAMESPACE]         list the WMI classes (default root\\cimv2)\n"
    "  path WINDOWS-PATH               show where a Windows path lives on this machine\n"
    "  eventlog                        list the machine's event log, oldest first\n"
    "  preview [--json] COMMAND [ARGUMENTS]\n"
    "                                  run an export on a copy of the machine and show\n"
    "                                  what it would change; the machine stays as it was\n"
    "\n"
    "options:\n"
    "  --prefix DIR     the emulated machine (default $KVTR_PREFIX, else ~/.kvtr)\n"
#else
    "\n"
    "options:\n"
#endif
    "  --library PATH   the library to load (default: the one built with this program)\n"
    "  --backup FILE    before an export runs, write the keys it may change to FILE,\n"
    "                   a .reg file that puts them back when imported\n"
    "  --help           show this text\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kvtr-setup: %s\n", problem);
  std::fputs(kUsage, problem != nullptr ? stderr : stdout);
  return problem != nullptr ? kUsageError : 0;
}

// The conversions of reg_model, for the C strings the host passes around.
std::string ToUtf8(const WCHAR* text) { return text == nullptr ? "(null)" : kvtr::setup::Utf8(text); }
WString FromUtf8(const char* text) { return kvtr::setup::FromUtf8Text(text); }

// Where the reports go instead of standard output, when set (a preview
// that writes JSON keeps them for its report).
std::vector<std::string>* g_keptReports = nullptr;

// One line per report: line ends inside a message become blanks.
extern "C" void __cdecl PrintReport(int level, void*, void*, void*, const WCHAR* message, const char* function,
                                    int line, void*) {
  std::string text = ToUtf8(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  const std::string report = "[" + std::to_string(level) + "] " + (function ? function : "?") + ":" +
                             std::to_string(line) + ": " + text;
  if (g_keptReports != nullptr) {
    g_keptReports->push_back(report);
    return;
  }
  std::printf("%s\n", report.c_str());
  std::fflush(stdout);
}

class Library {
 public:
  explicit Library(const std::string& path) {
#ifdef _WIN32
    handle_ = LoadLibraryW(FromUtf8(path.c_str()).c_str());
    if (handle_ == nullptr) error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = dlerror();
#endif
  }
  ~Library() {
#ifdef _WIN32
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_ != nullptr) dlclose(handle_);
#endif
  }
  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  void* Find(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

struct Command {
  const char* name;
  const char* exportName;
  enum { kNone, kOptionalDirectory, kRequiredService } argument;
};

const Command kCommands[] = {
    {"install-router", "InstRouter", Command::kOptionalDirectory},
    {"install-agent", "InstAgent", Command::kOptionalDirectory},
    {"uninstall-router", "UnInstRouter", Command::kNone},
    {"uninstall-agent", "UnInstAgent", Command::kNone},
    {"remove-old-counters", "RemoveOldCounters", Command::kNone},
    {"uninstall-old-counters", "UnInstOldCounters", Command::kRequiredService},
};

// Calls the export; false (with the reason on standard error) when the
// library or the export cannot be found.
bool CallExport(const std::string& libraryPath, const Command& command, const char* argument, int& result) {
  Library library(libraryPath);
  if (!library.loaded()) {
    std::fprintf(stderr, "kvtr-setup: %s\n", library.error().c_str());
    return false;
  }
  auto setlog = reinterpret_cast<SetlogExport>(library.Find("setlog"));
  void* entry = library.Find(command.exportName);
  if (setlog == nullptr || entry == nullptr) {
    std::fprintf(stderr, "kvtr-setup: %s does not export %s\n", libraryPath.c_str(),
                 setlog == nullptr ? "setlog" : command.exportName);
    return false;
  }
  setlog(nullptr, &PrintReport);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (command.argument == Command::kNone) {
    result = reinterpret_cast<PlainExport>(entry)();
  } else {
    const WString wide = argument != nullptr ? FromUtf8(argument) : WString();
    result = reinterpret_cast<DirectoryExport>(entry)(argument != nullptr ? wide.c_str() : nullptr);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  setlog(nullptr, nullptr);
  return true;
}

// The service argument of uninstall-old-counters (empty for the others).
WString ServiceOf(const Command& command, const char* argument) {
  return command.argument == Command::kRequiredService && argument != nullptr ? FromUtf8(argument) : WString();
}

int RunExport(const std::string& libraryPath, const Command& command, const char* argument,
              const std::string& backup) {
  if (!backup.empty()) {
    std::string error;
    if (!kvtr::setup::WriteBackup(backup, ServiceOf(command, argument), error)) {
      std::fprintf(stderr, "kvtr-setup: %s; the command did not run\n", error.c_str());
      return 1;
    }
  }
  int result = 0;
  if (!CallExport(libraryPath, command, argument, result)) return 1;
  std::printf("result: %d\n", result);
  return result;
}

#ifndef _WIN32

// "HKEY_LOCAL_MACHINE\Path" into a root handle and the path below it.
bool SplitKey(const std::string& key, HKEY& root, std::string& below) {
  struct Root {
    const char* name;
    HKEY handle;
  };
  const Root roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKLM", HKEY_LOCAL_MACHINE},
                        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {"HKCU", HKEY_CURRENT_USER},
                        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKCR", HKEY_CLASSES_ROOT},
                        {"HKEY_USERS", HKEY_USERS},                 {"HKU", HKEY_USERS}};
  const size_t slash = key.find('\\');
  const std::string head = key.substr(0, slash);
  for (const Root& r : roots) {
    if (strcasecmp(r.name, head.c_str()) == 0) {
      root = r.handle;
      below = slash == std::string::npos ? std::string() : key.substr(slash + 1);
      return true;
    }
  }
  return false;
}

// One line per value (name, type, data); each entry of a multi-string on a
// line of its own.
int QueryKey(const std::string& key) {
  HKEY root = nullptr;
  std::string below;
  if (!SplitKey(key, root, below)) return Usage("unknown root key");
  HKEY handle = nullptr;
  const LONG status = RegOpenKeyExW(root, FromUtf8(below.c_str()).c_str(), 0, KEY_READ, &handle);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "kvtr-setup: cannot open %s (error %ld)\n", key.c_str(), static_cast<long>(status));
    return 1;
  }
  std::printf("%s\n", key.c_str());
  for (DWORD index = 0;; ++index) {
    WCHAR name[16384];
    DWORD nameSize = 16384, type = 0, size = 0;
    if (RegEnumValueW(handle, index, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2, 0);
    nameSize = 16384;
    if (RegEnumValueW(handle, index, name, &nameSize, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    const std::string shown = nameSize == 0 ? "(Default)" : ToUtf8(name);
    std::printf("    %s    %s", shown.c_str(), kvtr::setup::RegTypeName(type));
    if (type == REG_DWORD && size == 4) {
      DWORD value = 0;
      std::memcpy(&value, data.data(), 4);
      // As regedit shows a number: hexadecimal, then decimal.
      std::printf("    0x%x (%u)\n", static_cast<unsigned>(value), static_cast<unsigned>(value));
    } else if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
      std::vector<WCHAR> units(size / 2 + 2, 0);
      std::memcpy(units.data(), data.data(), size);
      const WCHAR* entry = units.data();
      std::printf("%s", type == REG_MULTI_SZ ? "\n" : "    ");
      do {
        std::printf(type == REG_MULTI_SZ ? "        %s\n" : "%s\n", ToUtf8(entry).c_str());
        entry += WideLength(entry) + 1;
      } while (type == REG_MULTI_SZ && entry < units.data() + size / 2 && *entry != 0);
    } else {
      std::printf("    ");
      for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
      std::printf("\n");
    }
  }
  RegCloseKey(handle);
  return 0;
}

int RunRegistry(int argc, char** argv, int at) {
  if (at >= argc) return Usage("reg needs import or export");
  const std::string verb = argv[at];
  if (verb == "import" && at + 2 == argc) {
    char error[512] = {};
    if (!KvtrEmu_ImportRegFile(argv[at + 1], error, sizeof error)) {
      std::fprintf(stderr, "kvtr-setup: %s\n", error);
      return 1;
    }
    return 0;
  }
  if (verb == "export" && (at + 2 == argc || at + 3 == argc)) {
    HKEY root = nullptr;
    std::string below;
    if (at + 3 == argc && !SplitKey(argv[at + 2], root, below)) return Usage("unknown root key");
    if (!KvtrEmu_ExportRegFile(argv[at + 1], root, below.c_str())) {
      std::fprintf(stderr, "kvtr-setup: cannot export %s to %s\n", at + 3 == argc ? argv[at + 2] : "the registry",
                   argv[at + 1]);
      return 1;
    }
    return 0;
  }
  if (verb == "query" && at + 2 == argc) return QueryKey(argv[at + 1]);
  if (verb == "compact" && at + 1 == argc) {
    if (!KvtrEmu_CompactRegistry()) {
      std::fprintf(stderr, "kvtr-setup: the registry snapshot of %s cannot be written\n", KvtrEmu_Prefix());
      return 1;
    }
    return 0;
  }
  return Usage("reg import FILE | reg export FILE [KEY] | reg query KEY | reg compact");
}

int RunWmi(int argc, char** argv, int at) {
  if (at >= argc || std::strcmp(argv[at], "classes") != 0 || at + 2 < argc) return Usage("wmi classes [NAMESPACE]");
  const WString nameSpace = FromUtf8(at + 1 < argc ? argv[at + 1] : "root\\cimv2");
  const DWORD needed = KvtrEmu_ListWmiClasses(nameSpace.c_str(), nullptr, 0);
  std::vector<WCHAR> names(needed + 1, 0);
  KvtrEmu_ListWmiClasses(nameSpace.c_str(), names.data(), static_cast<DWORD>(names.size()));
  for (const WCHAR* name = names.data(); *name != 0; name += WideLength(name) + 1) {
    std::printf("%s\n", ToUtf8(name).c_str());
  }
  return 0;
}

#endif

#ifndef _WIN32
// One event log record as an event viewer lists it: time, source, type,
// event id (its low 16 bits, as the viewer shows it) and the insertion
// strings, each on a line of its own when there are several.
std::string EventLine(const std::string& record) {
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = 0; i <= record.size(); ++i) {
    if (i == record.size() || record[i] == '\t') {
      fields.push_back(field);
      field.clear();
    } else if (record[i] == '\\' && i + 1 < record.size()) {
      const char next = record[++i];
      field += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    } else {
      field += record[i];
    }
  }
  if (fields.size() < 4) return record;
  const unsigned long type = std::strtoul(fields[2].c_str(), nullptr, 10);
  const char* const typeName = type == EVENTLOG_ERROR_TYPE         ? "Error"
                               : type == EVENTLOG_WARNING_TYPE     ? "Warning"
                               : type == EVENTLOG_INFORMATION_TYPE ? "Information"
                               : type == EVENTLOG_AUDIT_SUCCESS    ? "Audit Success"
                               : type == EVENTLOG_AUDIT_FAILURE    ? "Audit Failure"
                                                                   : "Success";
  const unsigned long id = std::strtoul(fields[3].c_str(), nullptr, 16) & 0xFFFF;
  char head[256];
  std::snprintf(head, sizeof head, "%-19s  %-24s  %-11s  %8lu  ", fields[0].c_str(), fields[1].c_str(), typeName, id);
  std::string line = head;
  for (size_t i = 4; i < fields.size(); ++i) line += (i > 4 ? " | " : "") + fields[i];
  return line;
}

int RunEventLog() {
  std::ifstream log(KvtrEmu_EventLogFile(), std::ios::binary);
  std::printf("%-19s  %-24s  %-11s  %8s  %s\n", "Date and Time", "Source", "Type", "Event ID", "Description");
  size_t count = 0;
  for (std::string record; std::getline(log, record); ++count) std::printf("%s\n", EventLine(record).c_str());
  std::printf("%zu event%s\n", count, count == 1 ? "" : "s");
  return 0;
}
#endif

bool FindCommandName(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return true;
  }
  return false;
}

// The export `name` names with `count` arguments; null (after the usage
// text) when there is none or the arguments do not fit.
const Command* FindCommand(const std::string& name, int count, int* status) {
  for (const Command& command : kCommands) {
    if (name != command.name) continue;
    const bool fits = command.argument == Command::kNone                ? count == 0
                      : command.argument == Command::kOptionalDirectory ? count <= 1
                                                                        : count == 1;
    if (fits) return &command;
    *status = Usage(("wrong arguments for " + name).c_str());
    return nullptr;
  }
  *status = Usage(("unknown command " + name).c_str());
  return nullptr;
}

bool ReadWholeFile(const char* path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int RunDiff(int argc, char** argv, int at) {
  const bool json = at < argc && std::strcmp(argv[at], "--json") == 0;
  if (json) ++at;
  if (argc - at != 2) return Usage("diff [--json] BEFORE.reg AFTER.reg");
  kvtr::setup::RegImage images[2];
  for (int i = 0; i < 2; ++i) {
    std::string bytes, error;
    if (!ReadWholeFile(argv[at + i], bytes)) {
      std::fprintf(stderr, "kvtr-setup: cannot read %s\n", argv[at + i]);
      return 1;
    }
    if (!kvtr::setup::ParseRegText(bytes, images[i], error)) {
      std::fprintf(stderr, "kvtr-setup: %s %s\n", argv[at + i], error.c_str());
      return 1;
    }
  }
  kvtr::setup::MachineChanges changes;
  changes.registry = kvtr::setup::DiffImages(images[0], images[1]);
  changes.autorecoverBefore = kvtr::setup::AutorecoverList(images[0]);
  changes.autorecoverAfter = kvtr::setup::AutorecoverList(images[1]);
  const std::string report = json ? kvtr::setup::JsonReport(changes) : kvtr::setup::TextReport(changes);
  std::fputs(report.c_str(), stdout);
  return 0;
}

#ifndef _WIN32
// Runs the export on a copy of the machine and reports what it changed
// there. The exit status is the export's result.
int RunPreview(const std::string& libraryPath, int argc, char** argv, int at) {
  const bool json = at < argc && std::strcmp(argv[at], "--json") == 0;
  if (json) ++at;
  if (at >= argc) return Usage("preview [--json] COMMAND [ARGUMENTS]");
  int status = 0;
  const Command* command = FindCommand(argv[at], argc - at - 1, &status);
  if (command == nullptr) return status;
  const char* argument = argc - at - 1 == 1 ? argv[at + 1] : nullptr;

  char pattern[] = "/tmp/kvtr-preview-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::fprintf(stderr, "kvtr-setup: cannot make a folder for the copy of the machine\n");
    return 1;
  }
  const std::string scratch = pattern;
  const std::string copy = scratch + "/machine";
  const std::string original = KvtrEmu_Prefix();
  std::error_code error;
  // Links are copied as links: one to a host folder is not followed.
  std::filesystem::copy(original, copy,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
                        error);
  std::string problem;
  if (error) problem = "cannot copy " + original + ": " + error.message();
  kvtr::setup::MachineSnapshot before, after;
  kvtr::setup::MachineChanges changes;
  changes.command = argv[at];
  if (argument != nullptr) changes.command += std::string(" ") + argument;
  int result = 0;
  if (problem.empty() && KvtrEmu_UsePrefix(copy.c_str())) {
    setenv("KVTR_PREFIX", copy.c_str(), 1);
    if (kvtr::setup::TakeSnapshot(scratch, before, problem)) {
      // With --json, standard output carries the report alone: what the
      // export's helpers print (the MOF compiler's progress) goes to
      // standard error meanwhile.
      int kept = -1;
      if (json) {
        g_keptReports = &changes.reports;
        std::fflush(stdout);
        kept = dup(1);
        if (kept >= 0) dup2(2, 1);
      }
      const bool ran = CallExport(libraryPath, *command, argument, result);
      if (json) {
        std::fflush(stdout);
        if (kept >= 0) {
          dup2(kept, 1);
          close(kept);
        }
        g_keptReports = nullptr;
      }
      if (!ran) problem = "the export did not run";
      if (ran && kvtr::setup::TakeSnapshot(scratch, after, problem)) {
        changes.result = result;
        kvtr::setup::CompareSnapshots(before, after, changes);
      }
    }
  } else if (problem.empty()) {
    problem = "cannot use the copy " + copy;
  }
  // The copy goes; the machine itself was never touched.
  KvtrEmu_UsePrefix(original.c_str());
  std::filesystem::remove_all(scratch, error);
  if (!changes.result) {
    std::fprintf(stderr, "kvtr-setup: preview of %s: %s\n", changes.command.c_str(), problem.c_str());
    return 1;
  }
  const std::string report = json ? kvtr::setup::JsonReport(changes) : kvtr::setup::TextReport(changes);
  if (!json) std::fputs("\n", stdout);
  std::fputs(report.c_str(), stdout);
  return result;
}
#endif

std::string DefaultLibrary() {
#ifdef KVTR_DEFAULT_LIBRARY
  return KVTR_DEFAULT_LIBRARY;
#elif defined(_WIN32)
  return "kvtr.dll";
#else
  return "libkvtr.so";
#endif
}

// The environment report, as the logger writes it at the top of a trace
// file: with Winsock started (as the logger's syslog output starts it) and
// the host's apartment-threaded COM.
int RunEnvironmentReport() {
  WSADATA winsock{};
  const bool winsockStarted = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  kvtr::environment::ReportEnvironment report(&PrintReport);
  report.ReportEnvironmentVersions();
  if (SUCCEEDED(com)) CoUninitialize();
  if (winsockStarted) WSACleanup();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = DefaultLibrary();
  std::string backup;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    const std::string option = argv[at];
    if (option == "--help") return Usage(nullptr);
    if (option == "--library" && at + 1 < argc) {
      library = argv[++at];
    } else if (option == "--backup" && at + 1 < argc) {
      backup = argv[++at];
    } else if (option == "--prefix" && at + 1 < argc) {
#ifdef _WIN32
      return Usage("--prefix is for the emulated machine on Linux");
#else
      if (!KvtrEmu_UsePrefix(argv[++at])) {
        std::fprintf(stderr, "kvtr-setup: cannot use %s as the machine's directory\n", argv[at]);
        return 1;
      }
      setenv("KVTR_PREFIX", KvtrEmu_Prefix(), 1);
#endif
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }
  if (at >= argc) return Usage("no command");
  const std::string name = argv[at];
  const int arguments = argc - at - 1;
  int status = 0;
  const bool isExport = FindCommandName(name);
  if (!backup.empty() && !isExport) return Usage("--backup goes with an export command");
  if (name == "env") return arguments == 0 ? RunEnvironmentReport() : Usage("env takes no arguments");
  if (name == "diff") return RunDiff(argc, argv, at + 1);
#ifndef _WIN32
  if (name == "reg") return RunRegistry(argc, argv, at + 1);
  if (name == "preview") return RunPreview(library, argc, argv, at + 1);
  if (name == "wmi") return RunWmi(argc, argv, at + 1);
  if (name == "eventlog") return arguments == 0 ? RunEventLog() : Usage("eventlog takes no arguments");
  if (name == "path" && arguments == 1) {
    char host[4096];
    KvtrEmu_HostPath(FromUtf8(argv[at + 1]).c_str(), host, sizeof host);
    std::printf("%s\n", host);
    return 0;
  }
#endif
  const Command* command = FindCommand(name, arguments, &status);
  if (command == nullptr) return status;
  return RunExport(library, *command, arguments == 1 ? argv[at + 1] : nullptr, backup);
}
