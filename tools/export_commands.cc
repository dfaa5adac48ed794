// The export commands: the library loaded as a setup program loads it, the
// host's logging callback printing each report on a line, and the export's
// raw result.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/handle_owners.h"
#include "platform/loaded_library.h"
#include "tools/backup.h"
#include "tools/reg_model.h"
#include "tools/setup_commands.h"

namespace kvtr::setup {
namespace {

extern "C" {
typedef void(__cdecl* Callback)(int level, void*, void*, void*, const WCHAR* message, const char* function, int line,
                                void* context);
typedef void*(__cdecl* SetlogExport)(void*, Callback);
typedef int(__cdecl* DirectoryExport)(const WCHAR*);
typedef int(__cdecl* PlainExport)();
}

const Command kCommands[] = {
    {"install-router", "InstRouter", Command::kOptionalDirectory},
    {"install-agent", "InstAgent", Command::kOptionalDirectory},
    {"uninstall-router", "UnInstRouter", Command::kNone},
    {"uninstall-agent", "UnInstAgent", Command::kNone},
    {"remove-old-counters", "RemoveOldCounters", Command::kNone},
    {"uninstall-old-counters", "UnInstOldCounters", Command::kRequiredService},
};

// Where the reports go instead of standard output, when set (a preview
// that writes JSON keeps them for its report).
std::vector<std::string>* g_keptReports = nullptr;

}  // namespace

extern "C" void __cdecl PrintReport(int level, void*, void*, void*, const WCHAR* message, const char* function,
                                    int line, void*) {
  std::string text = message == nullptr ? "(null)" : Utf8(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  const std::string report =
      "[" + std::to_string(level) + "] " + (function ? function : "?") + ":" + std::to_string(line) + ": " + text;
  if (g_keptReports != nullptr) {
    g_keptReports->push_back(report);
    return;
  }
  std::printf("%s\n", report.c_str());
  std::fflush(stdout);
}

namespace {

// The service argument of uninstall-old-counters (empty for the others).
WString ServiceOf(const Command& command, const char* argument) {
  return command.argument == Command::kRequiredService && argument != nullptr ? FromUtf8Text(argument) : WString();
}

}  // namespace

bool IsExportCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return true;
  }
  return false;
}

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

bool CallExport(const std::string& libraryPath, const Command& command, const char* argument, int& result,
                std::vector<std::string>* kept) {
  LoadedLibrary library(FromUtf8Text(libraryPath).c_str());
  if (!library.loaded()) {
    std::fprintf(stderr, "kvtr-setup: cannot load %s (error %lu)\n", libraryPath.c_str(),
                 static_cast<unsigned long>(library.error()));
    return false;
  }
  auto setlog = reinterpret_cast<SetlogExport>(library.Find("setlog"));
  void* entry = library.Find(command.exportName);
  if (setlog == nullptr || entry == nullptr) {
    std::fprintf(stderr, "kvtr-setup: %s does not export %s\n", libraryPath.c_str(),
                 setlog == nullptr ? "setlog" : command.exportName);
    return false;
  }
  g_keptReports = kept;
  setlog(nullptr, &PrintReport);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    ScopedComApartment apartment(SUCCEEDED(com));
    if (command.argument == Command::kNone) {
      result = reinterpret_cast<PlainExport>(entry)();
    } else {
      const WString wide = argument != nullptr ? FromUtf8Text(argument) : WString();
      result = reinterpret_cast<DirectoryExport>(entry)(argument != nullptr ? wide.c_str() : nullptr);
    }
  }
  setlog(nullptr, nullptr);
  g_keptReports = nullptr;
  return true;
}

int RunExport(const std::string& libraryPath, const Command& command, const char* argument, const std::string& backup) {
  if (!backup.empty()) {
    std::string error;
    if (!WriteBackup(backup, ServiceOf(command, argument), error)) {
      std::fprintf(stderr, "kvtr-setup: %s; the command did not run\n", error.c_str());
      return 1;
    }
  }
  int result = 0;
  if (!CallExport(libraryPath, command, argument, result)) return 1;
  std::printf("result: %d\n", result);
  return result;
}

std::string DefaultLibrary() {
#ifdef KVTR_DEFAULT_LIBRARY
  return KVTR_DEFAULT_LIBRARY;
#elif defined(_WIN32)
  return "kvtr.dll";
#else
  return "libkvtr.so";
#endif
}

}  // namespace kvtr::setup
