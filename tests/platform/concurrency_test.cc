// One emulated machine shared by several processes and threads (Linux
// only: the processes are forked copies of this program working on the
// layer's prefix and its registry file, and fault injection is emulation
// control; on Windows the system's registry is shared by design).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/posix/emulation.h"
#include "support/child_processes.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr int kProcesses = 8;
constexpr int kChangesEach = 200;
constexpr char kSharedKey[] = "Software\\kvtr-shared";

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The DWORD value `name` of `key`, or 0xFFFFFFFF when it cannot be read.
DWORD GetDword(HKEY key, const char* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return 0xFFFFFFFF;
  }
  return value;
}

// Subkeys plus values of HKCU\<path>; 0 when it cannot be opened.
DWORD Entries(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD keys = 0, values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    keys = values = 0;
  }
  RegCloseKey(key);
  return keys + values;
}

// Each process makes its changes in a key of its own below the shared one
// (which they all race to create); the file holds them all.
std::string ProcessKey(int process) { return std::string(kSharedKey) + "\\p" + std::to_string(process); }
std::string ChangeName(int change) { return "c" + std::to_string(change); }

// Subkeys plus values of every process's key.
DWORD AllEntries() {
  DWORD entries = 0;
  for (int process = 0; process < kProcesses; ++process) entries += Entries(ProcessKey(process).c_str());
  return entries;
}

// One process's share: every fourth change creates a key, the others set a
// value. Returns the number of failed calls (at most 255).
int MakeChanges(int process) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, ProcessKey(process).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 255;
  }
  int failures = 0;
  for (int change = 0; change < kChangesEach; ++change) {
    const std::string name = ChangeName(change);
    if (change % 4 == 0) {
      HKEY created = nullptr;
      if (RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr) !=
          ERROR_SUCCESS) {
        ++failures;
        continue;
      }
      RegCloseKey(created);
    } else if (SetDword(key, name.c_str(), static_cast<DWORD>(process * 1000 + change)) != ERROR_SUCCESS) {
      ++failures;
    }
  }
  RegCloseKey(key);
  return std::min(failures, 255);
}

class SharedPrefix : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key_));
  }
  void TearDown() override { RegCloseKey(key_); }
  static std::string Prefix() { return KvtrEmu_Prefix(); }
  static std::string RegistryFile() { return Prefix() + "/registry.reg"; }

  TestMachine machine_;
  HKEY key_ = nullptr;
};

TEST_F(SharedPrefix, EightProcessesOnANewMachineLoseNoneOfTheirChanges) {
  // A machine nobody has used yet: the processes also race to create it.
  const std::string machinePrefix = Prefix();
  const std::string fresh = machinePrefix + "/shared";
  ASSERT_TRUE(KvtrEmu_UsePrefix(fresh.c_str()));

  // Meanwhile this process keeps reading. Every read sees a whole file, and
  // entries are only ever added, so their number never goes down.
  DWORD seen = 0;
  bool shrank = false;
  const std::vector<int> failures = RunInChildren(kProcesses, MakeChanges, [&] {
    const DWORD now = AllEntries();
    shrank = shrank || now < seen;
    seen = std::max(seen, now);
    usleep(20000);
  });
  for (int process = 0; process < kProcesses; ++process) EXPECT_EQ(0, failures[process]) << "process " << process;
  EXPECT_FALSE(shrank);

  // The next call here sees every change of the others; so does a load of
  // the file from scratch.
  for (const bool reload : {false, true}) {
    SCOPED_TRACE(reload ? "after a reload" : "at the next call");
    if (reload) {
      ASSERT_TRUE(KvtrEmu_UsePrefix(fresh.c_str()));
    }
    EXPECT_EQ(static_cast<DWORD>(kProcesses * kChangesEach), AllEntries());
    std::vector<std::string> lost;
    for (int process = 0; process < kProcesses; ++process) {
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, ProcessKey(process).c_str(), 0, KEY_READ, &key));
      for (int change = 0; change < kChangesEach; ++change) {
        const std::string name = ChangeName(change);
        bool present = false;
        if (change % 4 == 0) {
          HKEY child = nullptr;
          present = RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS;
          RegCloseKey(child);
        } else {
          present = GetDword(key, name.c_str()) == static_cast<DWORD>(process * 1000 + change);
        }
        if (!present) lost.push_back(ProcessKey(process) + "\\" + name);
      }
      RegCloseKey(key);
    }
    EXPECT_TRUE(lost.empty()) << lost.size() << " changes lost, the first " << lost.front();
  }
  // No temporary file was left behind.
  for (const auto& entry : std::filesystem::directory_iterator(fresh)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
  }
  ASSERT_TRUE(KvtrEmu_UsePrefix(machinePrefix.c_str()));
}

TEST_F(SharedPrefix, AnotherProcesssChangeIsSeenEvenWithinOneClockTick) {
  // Whether a new version gets the inode of one read earlier is up to the
  // file system: several rounds give it the chance.
  for (DWORD round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const DWORD first = 3 * round + 1;
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key_, "x", first));
    struct stat before;
    ASSERT_EQ(0, stat(RegistryFile().c_str(), &before));
    const std::vector<int> failures = RunInChildren(1, [&](int) {
      return (SetDword(key_, "x", first + 1) != ERROR_SUCCESS) + (SetDword(key_, "x", first + 2) != ERROR_SUCCESS);
    });
    ASSERT_EQ(0, failures[0]);
    // With a coarse clock both new versions carry the first one's time, and
    // all three have the same size.
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, RegistryFile().c_str(), times, 0));
    ASSERT_EQ(first + 2, GetDword(key_, "x"));
  }
}

TEST_F(SharedPrefix, AChangeThatCannotTakeTheLockWritesNothing) {
  const std::string before = ReadHostFile(RegistryFile());
  const std::string lock = Prefix() + "/registry.lock";
  ASSERT_EQ(0, unlink(lock.c_str()));
  ASSERT_EQ(0, mkdir(lock.c_str(), 0755));
  SetDword(key_, "unsaved", 1);
  EXPECT_EQ(before, ReadHostFile(RegistryFile()));

  // An import says so.
  const std::string file = Prefix() + "/in.reg";
  std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Imported]\n";
  char error[256] = {};
  EXPECT_FALSE(KvtrEmu_ImportRegFile(file.c_str(), error, sizeof error));
  EXPECT_NE(std::string::npos, std::string(error).find("cannot be written")) << error;
  EXPECT_EQ(before, ReadHostFile(RegistryFile()));
}

TEST_F(SharedPrefix, ARegistryFileThatCannotBeReadIsNeverWrittenOver) {
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key_, "kept", 7));  // in the journal
  for (const std::string& file : {RegistryFile(), Prefix() + "/registry.journal"}) {
    SCOPED_TRACE(file);
    const std::string snapshot = ReadHostFile(RegistryFile());
    const std::string journal = ReadHostFile(Prefix() + "/registry.journal");
    ASSERT_FALSE(journal.empty());
    // Readable by nobody but root: a child that is root runs as nobody, who
    // may still create and rename files in the prefix and take its lock.
    ASSERT_EQ(0, chmod(file.c_str(), 0));
    ASSERT_EQ(0, chmod(Prefix().c_str(), 0777));
    ASSERT_EQ(0, chmod((Prefix() + "/registry.lock").c_str(), 0666));
    const std::vector<int> results = RunInChildren(1, [](int) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 100;
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 2);  // the layer's warning about the file
      KvtrEmu_UsePrefix(KvtrEmu_Prefix());  // drop what the parent had loaded
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Written", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) == ERROR_SUCCESS) {
        SetDword(key, "new", 1);
        RegCloseKey(key);
      }
      return KvtrEmu_CompactRegistry() ? 1 : 0;
    });
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    EXPECT_EQ(0, results[0]);
    EXPECT_EQ(snapshot, ReadHostFile(RegistryFile()));
    EXPECT_EQ(journal, ReadHostFile(Prefix() + "/registry.journal"));
    EXPECT_EQ(7u, GetDword(key_, "kept"));
  }
}

// Fault injection on a thread leaves the other threads' calls alone, while
// the call count counts every thread's calls.
TEST(FaultInjection, AnArmedFaultCountsAndFailsOnlyTheCallsOfItsThread) {
  TestMachine machine;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "v", 5));
  auto query = [key] {
    DWORD value = 0, size = sizeof value;
    return RegQueryValueExW(key, W("v"), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  };
  const unsigned before = KvtrEmu_CallCount("RegQueryValueExW");
  KvtrEmu_FailCall("RegQueryValueExW", 2, ERROR_CANTREAD);
  EXPECT_EQ(ERROR_SUCCESS, query());

  int workerFailures = 0;
  std::thread([&] {
    for (int i = 0; i < 100; ++i) workerFailures += query() != ERROR_SUCCESS;
    // A fault the worker arms is the worker's.
    KvtrEmu_FailCall("registry", 1, ERROR_ACCESS_DENIED);
  }).join();
  EXPECT_EQ(0, workerFailures);

  EXPECT_EQ(ERROR_CANTREAD, query());
  EXPECT_EQ(ERROR_SUCCESS, query());
  EXPECT_EQ(before + 103, KvtrEmu_CallCount("RegQueryValueExW"));
  RegCloseKey(key);
}

}  // namespace
}  // namespace kvtr::test
