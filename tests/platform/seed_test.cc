// The baseline machine (Linux only: the seeds are the POSIX layer's own):
// a new machine holds every seed exactly, an older machine without a seed's
// keys gets them once, and what a machine or its user has is never replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "platform/posix/emulation.h"
#include "support/child_processes.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n";
constexpr const char* kCharsets = "SOFTWARE\\Classes\\MIME\\Database\\Charset";
constexpr const char* kRecord = "SOFTWARE\\kvtr-emulation\\Seeds";

// Section -> value line name -> value text, from .reg text (no hex
// continuations: the seeds and these tests have none).
using RegText = std::map<std::string, std::map<std::string, std::string>>;
RegText Parse(const std::string& text) {
  RegText keys;
  std::istringstream lines(text);
  std::string line, section;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line.rfind("Windows Registry Editor", 0) == 0) continue;
    if (line[0] == '[') {
      section = line.substr(1, line.size() - 2);
      keys[section];
    } else {
      const size_t equals = line.find("\"=") + 1;
      keys[section][line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return keys;
}

struct Seed {
  std::string name;
  std::string text;
};

// The seed files of the source tree, which the layer carries built in.
std::vector<Seed> SeedFiles() {
  std::vector<Seed> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(KVTR_SOURCE_DIR) + "/platform/posix/seed")) {
    if (entry.path().extension() != ".reg") continue;
    seeds.push_back({entry.path().stem().string(), ReadHostFile(entry.path().string())});
  }
  return seeds;
}

DWORD DwordAt(HKEY root, const char* path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xDEADBEEF;
  DWORD value = 0xDEADBEEF, size = sizeof value, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    value = 0xDEADBEEF;
  }
  RegCloseKey(key);
  return value;
}

bool KeyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

LONG SetDword(HKEY root, const char* path, const char* name, DWORD value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return status;
}

class Seeds : public ::testing::Test {
 protected:
  // A machine of the test's own whose registry file holds `text`, made the
  // current one without reading it yet.
  std::string OlderMachine(const std::string& name, const std::string& text) {
    const std::string directory = std::string(KvtrEmu_Prefix()) + "/" + name;
    EXPECT_EQ(0, mkdir(directory.c_str(), 0755));
    std::ofstream(directory + "/registry.reg", std::ios::binary) << text;
    EXPECT_TRUE(KvtrEmu_UsePrefix(directory.c_str()));
    return directory;
  }
  // The whole machine as .reg text.
  static std::string Export(const std::string& file) {
    EXPECT_TRUE(KvtrEmu_ExportRegFile(file.c_str(), nullptr, nullptr));
    return ReadHostFile(file);
  }

  TestMachine machine_;
};

TEST_F(Seeds, ANewMachineHoldsEverySeedAsWritten) {
  const std::vector<Seed> seeds = SeedFiles();
  ASSERT_FALSE(seeds.empty());
  const RegText machine = Parse(Export(std::string(KvtrEmu_Prefix()) + "/machine.reg"));
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.name);
    const RegText expected = Parse(seed.text);
    ASSERT_FALSE(expected.empty());
    // The seed's first key is its top: every other key lies below it.
    const std::string top = expected.begin()->first;
    for (const auto& [section, values] : expected) {
      EXPECT_EQ(0u, section.rfind(top, 0)) << section << " is not below " << top;
      const auto found = machine.find(section);
      ASSERT_NE(machine.end(), found) << section;
      EXPECT_EQ(values, found->second) << section;
    }
    EXPECT_EQ(1u, DwordAt(HKEY_LOCAL_MACHINE, kRecord, seed.name.c_str()));
  }
  // Seen through HKEY_CLASSES_ROOT, as Windows code reads it.
  EXPECT_EQ(65001u, DwordAt(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset\\utf-8", "InternetEncoding"));
  EXPECT_EQ(20127u, DwordAt(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset\\us-ascii", "InternetEncoding"));
}

TEST_F(Seeds, AnOlderMachineGetsTheSeedsAtItsFirstLoadAndKeepsItsOwnKeys) {
  const std::string older = std::string(kHeader) + "\n[HKEY_CURRENT_USER\\Software\\Mine]\n\"kept\"=dword:00000007\n";
  for (const bool firstCallWrites : {false, true}) {
    SCOPED_TRACE(firstCallWrites ? "first call writes" : "first call reads");
    const std::string directory = OlderMachine(firstCallWrites ? "writes" : "reads", older);
    if (firstCallWrites) {
      ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_CURRENT_USER, "Software\\Mine", "added", 8));
    }
    EXPECT_EQ(65001u, DwordAt(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset\\utf-8", "InternetEncoding"));
    // In the file, for every later load and process.
    ASSERT_TRUE(KvtrEmu_UsePrefix(directory.c_str()));
    EXPECT_EQ(28591u, DwordAt(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset\\iso-8859-1", "InternetEncoding"));
    EXPECT_EQ(1u, DwordAt(HKEY_LOCAL_MACHINE, kRecord, "mime-charsets"));
    EXPECT_EQ(7u, DwordAt(HKEY_CURRENT_USER, "Software\\Mine", "kept"));
    EXPECT_EQ(firstCallWrites ? 8u : 0xDEADBEEFu, DwordAt(HKEY_CURRENT_USER, "Software\\Mine", "added"));
  }
}

TEST_F(Seeds, AMachineThatHasASeedsTopKeyKeepsWhatItHolds) {
  // A user's import of a real machine holding one charset of its own.
  OlderMachine("imported", std::string(kHeader) +
                               "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\MIME\\Database\\Charset\\utf-8]\n"
                               "\"InternetEncoding\"=dword:00000001\n");
  EXPECT_EQ(1u, DwordAt(HKEY_LOCAL_MACHINE, (std::string(kCharsets) + "\\utf-8").c_str(), "InternetEncoding"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(kCharsets) + "\\latin1"));
  EXPECT_EQ(0xDEADBEEFu, DwordAt(HKEY_LOCAL_MACHINE, (std::string(kCharsets) + "\\utf-8").c_str(), "Codepage"));
  EXPECT_EQ(1u, DwordAt(HKEY_LOCAL_MACHINE, kRecord, "mime-charsets"));
}

TEST_F(Seeds, ChangesAfterSeedingAreNeverUndone) {
  const std::string utf8 = std::string(kCharsets) + "\\utf-8";
  const struct {
    const char* what;
    std::function<void()> change;
    std::function<void()> check;
  } kCases[] = {
      {"a changed value",
       [&] { ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_LOCAL_MACHINE, utf8.c_str(), "InternetEncoding", 5)); },
       [&] { EXPECT_EQ(5u, DwordAt(HKEY_LOCAL_MACHINE, utf8.c_str(), "InternetEncoding")); }},
      {"a deleted key", [&] { ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_LOCAL_MACHINE, utf8)); },
       [&] { EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, utf8)); }},
      {"the top key removed by an import",
       [&] {
         const std::string file = std::string(KvtrEmu_Prefix()) + "/remove.reg";
         std::ofstream(file) << kHeader << "\n[-HKEY_CLASSES_ROOT\\MIME]\n";
         ASSERT_TRUE(KvtrEmu_ImportRegFile(file.c_str(), nullptr, 0));
       },
       [&] { EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kCharsets)); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string directory = OlderMachine(std::to_string(&c - kCases), kHeader);
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, utf8));  // seeded at the first load
    c.change();
    for (int load = 0; load < 2; ++load) {
      ASSERT_TRUE(KvtrEmu_UsePrefix(directory.c_str()));
      c.check();
    }
  }
}

TEST_F(Seeds, TheSeededRegistryFileReadsBackWhole) {
  ASSERT_EQ(ERROR_SUCCESS, SetDword(HKEY_CURRENT_USER, "Software\\Mine", "one", 1));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, KEY_ALL_ACCESS, &key));
  const WCHAR text[] = W("a \"b\" \\c");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, W("text"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text));
  RegCloseKey(key);
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  const std::string first = std::string(KvtrEmu_Prefix());
  const std::string exported = Export(first + "/first.reg");

  // A second new machine imports the first one's own file without a bad
  // line and then holds exactly the same.
  const std::string second = first + "/second";
  ASSERT_TRUE(KvtrEmu_UsePrefix(second.c_str()));
  char error[256] = {};
  ASSERT_TRUE(KvtrEmu_ImportRegFile((first + "/registry.reg").c_str(), error, sizeof error)) << error;
  EXPECT_EQ(Parse(exported), Parse(Export(second + "/second.reg")));
}

TEST_F(Seeds, ProcessesSeedingAnOlderMachineAtOnceLoseNoChange) {
  constexpr int kProcesses = 8;
  // Whether a reader's load and a writer's save interleave is up to the
  // scheduler: several rounds give it the chance.
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string directory = OlderMachine("raced-" + std::to_string(round), kHeader);
    // Half of them read first, so they load the file without the registry
    // lock and take it only to seed, while the others already write.
    const std::vector<int> failures = RunInChildren(kProcesses, [](int index) {
      if (index % 2 == 0 && !KeyExists(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset")) return 2;
      const std::string path = "Software\\Race\\" + std::to_string(index);
      return SetDword(HKEY_CURRENT_USER, path.c_str(), "mine", static_cast<DWORD>(index)) == ERROR_SUCCESS ? 0 : 1;
    });
    for (int index = 0; index < kProcesses; ++index) EXPECT_EQ(0, failures[index]) << "process " << index;
    ASSERT_TRUE(KvtrEmu_UsePrefix(directory.c_str()));
    for (int index = 0; index < kProcesses; ++index) {
      const std::string path = "Software\\Race\\" + std::to_string(index);
      EXPECT_EQ(static_cast<DWORD>(index), DwordAt(HKEY_CURRENT_USER, path.c_str(), "mine")) << "process " << index;
    }
    EXPECT_EQ(65001u, DwordAt(HKEY_CLASSES_ROOT, "MIME\\Database\\Charset\\utf-8", "InternetEncoding"));
  }
}

}  // namespace
}  // namespace kvtr::test
