// The emulated machine at the size of a real one: a synthetic machine of
// 60 000 keys and a Perflib of 10 000 index/text pairs in three languages
// (a regedit export of about 77 MB, UTF-16LE), and what it costs to load
// it, to change single values on it, and to run a cleanup command on it.
// The machine is built once per run in a temporary prefix; the resident
// memory of loading it is the peak of a kvtr-setup process on it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/emulation.h"
#include "platform/win32.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// UTF-16LE text of ASCII.
void PutUtf16(std::string& out, const std::string& ascii) {
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
}

// A REG_MULTI_SZ value in regedit's hex(7) form, 25 bytes a line.
std::string MultiStringValue(const std::string& name, const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& entry : entries) PutUtf16(bytes, entry + std::string(1, '\0'));
  bytes += std::string(2, '\0');
  std::string text = "\"" + name + "\"=hex(7):";
  char hex[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    text += hex;
    if (i + 1 < bytes.size()) text += (i % 25 == 24) ? ",\\\r\n  " : ",";
  }
  return text + "\r\n";
}

// The synthetic export, as regedit writes one: UTF-16LE with its mark.
std::string SyntheticExport() {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (int group = 0; group < 600; ++group) {
    for (int key = 0; key < 100; ++key) {
      char header[160];
      std::snprintf(header, sizeof header, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Synthetic\\Vendor%03d\\Product%03d]\r\n",
                    group, key);
      text += header;
      char values[256];
      std::snprintf(values, sizeof values,
                    "\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%03d\\\\Product%03d\"\r\n\"Version\"=dword:%08x\r\n"
                    "\"Flags\"=hex:01,02,03,04,05,06,07,08\r\n\r\n",
                    group, key, group * 100 + key);
      text += values;
    }
  }
  // A service whose 100 counters the cleanup command removes.
  text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SyntheticService\\Performance]\r\n"
          "\"First Counter\"=dword:00004a3a\r\n\"Last Counter\"=dword:00004b00\r\n"
          "\"First Help\"=dword:00004a3b\r\n\"Last Help\"=dword:00004b01\r\n\r\n";
  const char* const perflib = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
  text += std::string(perflib) + "]\r\n\"Last Counter\"=dword:00004e20\r\n\"Last Help\"=dword:00004e21\r\n\r\n";
  for (const char* language : {"009", "007", "00C"}) {
    std::vector<std::string> counters, help;
    for (int i = 0; i < 10000; ++i) {
      const int index = 2 * i + 2;
      counters.push_back(std::to_string(index));
      counters.push_back("Synthetic counter number " + std::to_string(i) + " (" + language + ")");
      help.push_back(std::to_string(index + 1));
      help.push_back("Shows how often the synthetic operation " + std::to_string(i) +
                     " ran since the service started, per second.");
    }
    text += std::string(perflib) + "\\" + language + "]\r\n" + MultiStringValue("Counter", counters) +
            MultiStringValue("Help", help) + "\r\n";
  }
  std::string utf16 = "\xFF\xFE";
  utf16.reserve(2 + 2 * text.size());
  PutUtf16(utf16, text);
  return utf16;
}

// Removes the machines when the run ends (built before main, so it outlives
// the exit handler that uses it).
std::string g_cleanup;

struct Machines {
  std::string big, empty, exportFile;
  double exportMegabytes = 0, registryMegabytes = 0, importSeconds = 0;
};

const Machines& TheMachines() {
  static const Machines machines = [] {
    Machines m;
    char big[] = "/tmp/kvtr-scale-big-XXXXXX";
    char empty[] = "/tmp/kvtr-scale-empty-XXXXXX";
    m.big = mkdtemp(big);
    m.empty = mkdtemp(empty);
    m.exportFile = m.big + ".reg";
    const std::string text = SyntheticExport();
    std::ofstream(m.exportFile, std::ios::binary) << text;
    m.exportMegabytes = text.size() / 1e6;
    KvtrEmu_UsePrefix(m.big.c_str());
    char error[512] = {};
    const auto start = Clock::now();
    if (!KvtrEmu_ImportRegFile(m.exportFile.c_str(), error, sizeof error)) std::fprintf(stderr, "import: %s\n", error);
    m.importSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    struct stat info {};
    stat((m.big + "/registry.reg").c_str(), &info);
    m.registryMegabytes = info.st_size / 1e6;
    // KVTR_SCALE_KEEP=DIR keeps a copy of the big machine there, to look
    // at or profile a command on.
    if (const char* keep = std::getenv("KVTR_SCALE_KEEP")) {
      std::system(("rm -rf '" + std::string(keep) + "' && cp -a '" + m.big + "' '" + keep + "'").c_str());
    }
    g_cleanup = "rm -rf '" + m.big + "' '" + m.big + "-work' '" + m.empty + "' '" + m.exportFile + "'";
    std::atexit([] { std::system(g_cleanup.c_str()); });
    return m;
  }();
  return machines;
}

// Loading the big machine: the registry file read again at the next call.
void LoadBigMachine(benchmark::State& state) {
  const Machines& m = TheMachines();
  KvtrEmu_UsePrefix(m.big.c_str());
  for (auto _ : state) {
    KvtrEmu_UsePrefix(m.empty.c_str());
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key);
    RegCloseKey(key);
    const auto start = Clock::now();
    KvtrEmu_UsePrefix(m.big.c_str());
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Synthetic\\Vendor599\\Product099", 0, KEY_READ, &key);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    RegCloseKey(key);
  }
  state.counters["registry_MB"] = m.registryMegabytes;
  state.counters["MB_per_s"] =
      benchmark::Counter(m.registryMegabytes * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["export_MB"] = m.exportMegabytes;
  state.counters["import_s"] = m.importSeconds;
}
BENCHMARK(LoadBigMachine)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// 1000 single-value changes, on the big machine and on an empty one.
void SingleValueChanges(benchmark::State& state) {
  const Machines& m = TheMachines();
  KvtrEmu_UsePrefix(state.range(0) ? m.big.c_str() : m.empty.c_str());
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\kvtr-scale", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  DWORD value = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      ++value;
      RegSetValueExA(key, "counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
  }
  RegCloseKey(key);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(SingleValueChanges)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// The peak resident memory of kvtr-setup with `arguments`, in kilobytes.
// Measured by a small python parent: a child of this benchmark starts with
// the benchmark's own peak (the kernel carries it over a vfork and exec).
long SetupPeakKilobytes(const std::vector<std::string>& arguments) {
  std::string command =
      "python3 -c 'import resource, subprocess, sys; subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
      "stderr=subprocess.DEVNULL); print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' '" +
      std::string(KVTR_SETUP) + "'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  FILE* const output = popen(command.c_str(), "r");
  if (output == nullptr) return -1;
  long peak = -1;
  if (std::fscanf(output, "%ld", &peak) != 1) peak = -1;
  pclose(output);
  return peak;
}

// Runs kvtr-setup with `arguments` (output discarded); its exit status.
int RunSetup(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  std::string program = KVTR_SETUP;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// kvtr-setup on the big machine: a bare query (0), the perflib cleanup of
// a service with 100 counters (1), and a compaction of the machine (2),
// the cost the cleanup's journal records come to once the journal has
// outgrown the snapshot; each on a fresh copy of the machine, with the
// command's peak resident memory.
void SetupCommandOnBigMachine(benchmark::State& state) {
  const Machines& m = TheMachines();
  const std::string work = m.big + "-work";
  const std::vector<std::vector<std::string>> commands = {
      {"--prefix", work, "reg", "query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Synthetic"},
      {"--prefix", work, "uninstall-old-counters", "SyntheticService"},
      {"--prefix", work, "reg", "compact"},
  };
  const std::vector<std::string>& arguments = commands[static_cast<size_t>(state.range(0))];
  // Written out before the command runs, so its timing is its own.
  const auto freshCopy = [&] {
    std::system(("rm -rf '" + work + "' && cp -a '" + m.big + "' '" + work + "' && sync").c_str());
  };
  int status = 0;
  for (auto _ : state) {
    freshCopy();
    const auto start = Clock::now();
    status = RunSetup(arguments);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  freshCopy();
  const long peak = SetupPeakKilobytes(arguments);
  state.counters["peak_resident_MB"] = peak / 1024.0;
  state.counters["peak_per_registry_MB"] = peak / 1024.0 / m.registryMegabytes;
  state.counters["exit_status"] = status;
}
BENCHMARK(SetupCommandOnBigMachine)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
