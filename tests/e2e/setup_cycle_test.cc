// The whole cycle a setup runs, scripted through the kvtr-setup host on a
// machine seeded from a .reg file (Linux only: the host's reg and wmi
// commands and the prefix belong to the emulated machine). The exported
// registry before and after may differ only in the product's own keys and
// entries.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "installer/machine_shape.h"
#include "platform/posix/emulation.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

using Values = std::map<std::string, std::string>;  // name line -> value text
using RegText = std::map<std::string, Values>;      // key -> values

// Sections and value lines of an exported .reg file, continuation lines
// joined.
RegText ParseRegFile(const std::string& path) {
  RegText keys;
  std::istringstream lines(ReadHostFile(path));
  std::string line, current;
  while (std::getline(lines, line)) {
    while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
      line.pop_back();
      std::string next;
      if (!std::getline(lines, next)) break;
      line += next.substr(next.find_first_not_of(' '));
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = line.substr(1, line.size() - 2);
      keys[current];
      continue;
    }
    if (current.empty()) continue;
    const size_t equals = line.find("\"=") != std::string::npos ? line.find("\"=") + 1 : line.find('=');
    keys[current][line.substr(0, equals)] = line.substr(equals + 1);
  }
  return keys;
}

// The entries of a hex(7) value text.
std::vector<WString> MultiString(const std::string& text) {
  std::string bytes;
  for (size_t i = text.find(':') + 1; i + 1 < text.size(); i += 3) {
    bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return DecodeMultiString(bytes);
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

const std::string kMachine = "HKEY_LOCAL_MACHINE\\";

// Keys the cycle may remove, and values it may change, all the product's own.
bool IsProductKey(const std::string& key) {
  for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
    for (const char* service : {"Zorvane Router", "Zorvane Server"}) {
      if (StartsWith(key, kMachine + "SYSTEM\\" + set + "\\Services\\" + service + "\\Performance")) return true;
    }
  }
  for (const char* clsid : {kLegacyRouterClass, kLegacyAgentClass}) {
    if (StartsWith(key, kMachine + "SOFTWARE\\Classes\\CLSID\\" + clsid)) return true;
  }
  for (const char* component : {kLegacyRouterComponent, kLegacyAgentComponent}) {
    if (key == kMachine + ComponentPath("S-1-5-18", component)) return true;
  }
  return false;
}

TEST(SetupCycle, OnlyTheProductsOwnKeysAndEntriesChange) {
  TestMachine seedMachine;
  ShapeLegacyProductMachine();
  const std::string seed = std::string(KvtrEmu_Prefix()) + "/seed.reg";
  ASSERT_TRUE(KvtrEmu_ExportRegFile(seed.c_str(), nullptr, nullptr));

  // A second, fresh machine runs the cycle, seeded from the file alone.
  char pattern[] = "/tmp/kvtr-cycle-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string prefix = pattern;
  const std::string command = std::string("sh '") + KVTR_SOURCE_DIR + "/tests/e2e/setup_cycle.sh' '" KVTR_SETUP "' '" +
                              prefix + "' '" + seed + "' '" + KVTR_SOURCE_DIR + "/mof' 'Zorvane Server'";
  ASSERT_EQ(0, std::system(command.c_str()));
  const std::string log = ReadHostFile(prefix + "/cycle.log");

  // Each export's result, in order.
  std::vector<std::string> results;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (StartsWith(line, "result: ")) results.push_back(line.substr(8));
  }
  EXPECT_EQ((std::vector<std::string>{"0", "0", "-5", "-3", "0", "0"}), results) << log;
  // The classes were there between install and uninstall, and are gone.
  const size_t firstListing = log.find("wmi classes");
  const size_t secondListing = log.find("wmi classes", firstListing + 1);
  ASSERT_NE(std::string::npos, secondListing);
  EXPECT_NE(std::string::npos, log.substr(firstListing, secondListing - firstListing).find("Win32_PerfRawData_Zorvane_Agent"));
  EXPECT_EQ(std::string::npos, log.substr(secondListing).find("Zorvane"));
  // The changes were folded into a new snapshot before the last export,
  // which therefore reads them from it.
  EXPECT_NE(std::string::npos, log.find("$ kvtr-setup reg compact\nexit: 0\n")) << log;
  EXPECT_FALSE(std::filesystem::exists(prefix + "/registry.journal"));

  const RegText before = ParseRegFile(prefix + "/before.reg");
  const RegText after = ParseRegFile(prefix + "/after.reg");
  ASSERT_GT(before.size(), 40u);
  const PerflibShape perflib = LegacyMachinePerflib();
  std::set<std::string> removed;
  for (const auto& [key, values] : before) {
    const auto found = after.find(key);
    if (found == after.end()) {
      EXPECT_TRUE(IsProductKey(key)) << "removed: " << key;
      removed.insert(key);
      continue;
    }
    for (const auto& [name, value] : values) {
      const auto now = found->second.find(name);
      const std::string changed = now == found->second.end() ? "<removed>" : now->second;
      if (changed == value) continue;
      if (key == kMachine + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs") {
        EXPECT_EQ("\"C:\\\\Windows\\\\system32\\\\QMTPerfInfo.dll\"", name);
        EXPECT_EQ("<removed>", changed);
      } else if (StartsWith(key, kMachine + "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\")) {
        // Exactly the service's own pairs are gone from the list.
        const bool counter = name == "\"Counter\"";
        ASSERT_TRUE(counter || name == "\"Help\"") << key << " " << name;
        const PerflibTexts kept = counter ? PerflibShape::Without(perflib.counters(), 1102, 1200)
                                          : PerflibShape::Without(perflib.help(), 1103, 1201);
        EXPECT_EQ(perflib.Entries(counter, kept), MultiString(changed)) << key << " " << name;
      } else {
        ADD_FAILURE() << "changed: " << key << " " << name;
      }
    }
    for (const auto& [name, value] : found->second) {
      EXPECT_TRUE(values.count(name)) << "added: " << key << " " << name << "=" << value;
    }
  }
  for (const auto& [key, values] : after) EXPECT_TRUE(before.count(key)) << "added key: " << key;
  // Everything of the legacy product went.
  EXPECT_TRUE(removed.count(kMachine + "SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance"));
  EXPECT_TRUE(removed.count(kMachine + "SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\Performance"));
  EXPECT_TRUE(removed.count(kMachine + ComponentPath("S-1-5-18", kLegacyRouterComponent)));
  EXPECT_TRUE(removed.count(kMachine + std::string("SOFTWARE\\Classes\\CLSID\\") + kLegacyAgentClass));
  // The run's machine stays for a look when something failed.
  if (!::testing::Test::HasFailure()) {
    std::error_code ignored;
    std::filesystem::remove_all(prefix, ignored);
  }
}

// Exit status of kvtr-setup with `arguments`, its output going to `output`.
int RunSetup(const std::string& arguments, const std::string& output) {
  const int status = std::system((std::string("'") + KVTR_SETUP + "' " + arguments + " >'" + output + "' 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SetupHost, BadUsageGivesTheUsageAndStatusTwo) {
  TestMachine machine;
  const std::string output = std::string(KvtrEmu_Prefix()) + "/output.txt";
  const std::string prefix = std::string("--prefix '") + KvtrEmu_Prefix() + "' ";
  for (const std::string& arguments : {std::string(""), std::string("no-such-command"), std::string("--bogus install-agent"),
                                       std::string("uninstall-agent extra"), std::string("uninstall-old-counters"),
                                       std::string("install-router a b"), std::string("reg export"),
                                       std::string("--backup b.reg reg compact")}) {
    EXPECT_EQ(2, RunSetup(prefix + arguments, output)) << arguments;
    EXPECT_NE(std::string::npos, ReadHostFile(output).find("usage: kvtr-setup")) << arguments;
  }
  EXPECT_EQ(0, RunSetup("--help", output));
  EXPECT_NE(std::string::npos, ReadHostFile(output).find("uninstall-old-counters SERVICE"));
}

TEST(SetupHost, EachReportIsOneLineAndTheResultComesLast) {
  TestMachine machine;
  const std::string output = std::string(KvtrEmu_Prefix()) + "/output.txt";
  // -5 leaves the process as status 251.
  EXPECT_EQ(251, RunSetup(std::string("--prefix '") + KvtrEmu_Prefix() + "' install-agent 'C:\\nowhere'", output));
  EXPECT_EQ("[1] InstAgent:", ReadHostFile(output).substr(0, 14));
  EXPECT_NE(std::string::npos, ReadHostFile(output).find(": Cannot find path : [C:\\nowhere]\nresult: -5\n"));
  // A library that cannot be loaded is named.
  EXPECT_EQ(1, RunSetup("--library /nonexistent/libkvtr.so install-agent", output));
  EXPECT_NE(std::string::npos, ReadHostFile(output).find("/nonexistent/libkvtr.so"));
}

}  // namespace
}  // namespace kvtr::test

namespace kvtr::test {
namespace {

// ---- preview, diff and backup ----

class SetupChanges : public ::testing::Test {
 protected:
  void SetUp() override {
    ShapeLegacyProductMachine();
    ASSERT_TRUE(KvtrEmu_CompactRegistry());
    prefix_ = KvtrEmu_Prefix();
  }
  std::string Path(const char* name) const { return prefix_ + "/" + name; }
  int Setup(const std::string& arguments, const char* output) {
    return RunSetup("--prefix '" + prefix_ + "' " + arguments, Path(output));
  }
  std::string Export(const char* name) {
    EXPECT_TRUE(KvtrEmu_UsePrefix(prefix_.c_str()));
    EXPECT_TRUE(KvtrEmu_ExportRegFile(Path(name).c_str(), nullptr, nullptr));
    return ReadHostFile(Path(name));
  }

  TestMachine machine_;
  std::string prefix_;
};

// The part of a report from its first key group to its summary.
std::string KeyGroups(const std::string& report) {
  const size_t start = report.find("\nShared lists\n");
  const size_t end = report.find("\nAutorecover list before\n");
  return start == std::string::npos ? std::string() : report.substr(start, end - start);
}

TEST_F(SetupChanges, PreviewShowsACleanupAndLeavesTheMachineAsItWas) {
  const std::string before = Export("before.reg");
  const std::string files = ReadHostFile(Path("registry.reg")) + ReadHostFile(Path("registry.journal"));
  ASSERT_EQ(0, Setup("preview uninstall-old-counters 'Zorvane Server'", "preview.txt"));
  const std::string report = ReadHostFile(Path("preview.txt"));
  EXPECT_EQ(before, Export("again.reg"));
  EXPECT_EQ(files, ReadHostFile(Path("registry.reg")) + ReadHostFile(Path("registry.journal")));

  const std::string perflib = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\";
  EXPECT_EQ(0u, report.find("\nPreview of: uninstall-old-counters Zorvane Server\nResult: 0\n\nShared lists\n    " +
                            perflib + "007\n      ~ \"Counter\" REG_MULTI_SZ: 100 removed, 0 added\n"
                                      "          - [1102] 1102\n          - [1103] Zorvane Server counter 1102\n"))
      << report;
  EXPECT_NE(std::string::npos, report.find("          - [1201] Zorvane Server counter 1200\n"
                                           "      ~ \"Help\" REG_MULTI_SZ: 100 removed, 0 added\n"));
  EXPECT_NE(std::string::npos, report.find("\n    " + perflib + "009\n"));
  EXPECT_NE(std::string::npos,
            report.find("\nOther keys\n  - HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\"
                        "Performance   (key removed)\n      - \"First Counter\" = REG_DWORD 0x44e (1102)\n"));
  EXPECT_NE(std::string::npos, report.find("\nSummary: 0 keys added, 1 removed, 2 changed; 9 value changes; 0 files "
                                           "created, 0 deleted; 0 classes created, 0 deleted\n"));

  // The same for a program.
  ASSERT_EQ(0, Setup("preview --json uninstall-old-counters 'Zorvane Server'", "preview.json"));
  const std::string check =
      "python3 -c 'import json, sys\n"
      "d = json.load(open(sys.argv[1]))\n"
      "r = d[\"registry\"]\n"
      "assert d[\"result\"] == 0 and d[\"reports\"] == [], d\n"
      "assert [k[\"shared\"] for k in r] == [True, True, False], r\n"
      "e = r[0][\"values\"][0][\"entries\"]\n"
      "assert len(e) == 100 and e[0] == {\"change\": \"removed\", \"position\": 1102, \"entry\": \"1102\"}, e[0]\n"
      "assert r[2][\"change\"] == \"removed\" and r[2][\"values\"][0][\"before\"] == {\"type\": \"REG_DWORD\", "
      "\"data\": 1102}\n"
      "assert d[\"autorecover\"][\"before\"] == d[\"autorecover\"][\"after\"] and len(d[\"autorecover\"][\"after\"]) == 3\n"
      "' '" + Path("preview.json") + "'";
  EXPECT_EQ(0, std::system(check.c_str())) << ReadHostFile(Path("preview.json"));

  // A diff of the exports around the real run says what the preview said;
  // the export before is read as regedit writes it, UTF-16LE.
  std::string utf16 = "\xFF\xFE";
  WString wide(before.size(), 0);
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, before.data(), static_cast<int>(before.size()),
                                                      wide.data(), static_cast<int>(wide.size()))));
  for (const WCHAR unit : wide) {
    if (unit == '\n') utf16 += std::string("\r\0", 2);
    utf16 += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  }
  ASSERT_TRUE(TestMachine::WriteFile(W("C:\\before16.reg"), utf16));
  ASSERT_EQ(0, Setup("uninstall-old-counters 'Zorvane Server'", "run.txt"));
  Export("after.reg");
  char host[4096];
  KvtrEmu_HostPath(W("C:\\before16.reg"), host, sizeof host);
  ASSERT_EQ(0, Setup(std::string("diff '") + host + "' '" + Path("after.reg") + "'", "diff.txt"));
  const std::string diff = ReadHostFile(Path("diff.txt"));
  EXPECT_EQ(KeyGroups(report) + "\nSummary: 0 keys added, 1 removed, 2 changed; 9 value changes\n", diff);
}

TEST_F(SetupChanges, PreviewListsTheFilesAndKeysTheLegacyCleanupWouldDelete) {
  ASSERT_EQ(0, Setup("preview remove-old-counters", "preview.txt"));
  const std::string report = ReadHostFile(Path("preview.txt"));
  EXPECT_NE(std::string::npos, report.find("\nFiles deleted\n  C:\\Program Files\\Kestovar\\Zorvanex\\Router\\"
                                           "ZorvaneRouterPerf.dll\n  C:\\Windows\\System32\\QMTPerfInfo.dll\n"))
      << report;
  EXPECT_NE(std::string::npos, report.find("  HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                           "SharedDLLs\n      - \"C:\\Windows\\system32\\QMTPerfInfo.dll\" = "
                                           "REG_DWORD 0x1 (1)\n"));
  EXPECT_NE(std::string::npos, report.find("  - HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\"
                                           "{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}   (key removed)\n"));
  // The reports came before the changes, and the files are still there.
  EXPECT_LT(report.find("] qel_wmi::RemoveOldRouterCounters:"), report.find("\nPreview of: remove-old-counters\n"));
  EXPECT_EQ("legacy agent", TestMachine::ReadFile(W("C:\\Windows\\system32\\QMTPerfInfo.dll")));
}

TEST_F(SetupChanges, BackupsPutBackWhatTheCleanupsChanged) {
  const std::string before = Export("before.reg");
  // In the cycle's order: the service's names, then the legacy DLLs.
  ASSERT_EQ(0, Setup("--backup '" + Path("perflib.reg") + "' uninstall-old-counters 'Zorvane Server'", "run.txt"));
  ASSERT_EQ(0, Setup("--backup '" + Path("legacy.reg") + "' remove-old-counters", "run.txt"));
  ASSERT_NE(before, Export("changed.reg"));
  const std::string legacy = ReadHostFile(Path("legacy.reg"));
  EXPECT_EQ(0u, legacy.find(std::string("\xFF\xFEW\0i\0n\0d\0o\0w\0s\0", 16)));
  EXPECT_NE(std::string::npos, legacy.find(std::string("[\0-\0H\0", 6)));  // keys removed before they are written
  // Imported in the reverse order, the backups give the machine back.
  ASSERT_EQ(0, Setup("reg import '" + Path("legacy.reg") + "'", "import.txt")) << ReadHostFile(Path("import.txt"));
  ASSERT_EQ(0, Setup("reg import '" + Path("perflib.reg") + "'", "import.txt")) << ReadHostFile(Path("import.txt"));
  EXPECT_EQ(before, Export("restored.reg"));
  // A backup that cannot be written keeps the command from running.
  EXPECT_EQ(1, Setup("--backup /nonexistent/b.reg remove-old-counters", "run.txt"));
  EXPECT_NE(std::string::npos, ReadHostFile(Path("run.txt")).find("the command did not run"));
}

}  // namespace
}  // namespace kvtr::test
