// The registry's journal (Linux only: it is the emulated machine's file
// format): the records a change appends, what a reader does with a record
// cut short or a journal of another snapshot, compaction, other processes'
// records, and a writer killed at random moments.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/child_processes.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

// CRC-32C bit by bit, as its polynomial defines it.
uint32_t Crc32c(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return ~crc;
}

std::string Record(int number, const std::string& body) {
  const std::string head = "; change " + std::to_string(number) + " length " + std::to_string(body.size()) + "\n";
  char end[64];
  std::snprintf(end, sizeof end, "; end %d crc %08x\n", number, Crc32c(head + body));
  return head + body + end;
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// 0 when the value is missing.
DWORD GetDword(HKEY root, const char* path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) value = 0;
  RegCloseKey(key);
  return value;
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = KvtrEmu_Prefix();
    ASSERT_TRUE(KvtrEmu_CompactRegistry());  // every test starts without a journal
  }
  std::string Snapshot() const { return prefix_ + "/registry.reg"; }
  std::string JournalFile() const { return prefix_ + "/registry.journal"; }
  std::string Token() const {
    const std::string text = ReadHostFile(Snapshot());
    const size_t start = text.find("\n; snapshot ");
    if (start == std::string::npos) return std::string();
    const size_t from = start + 12;
    return text.substr(from, text.find('\n', from) - from);
  }
  std::string Header() const { return "Windows Registry Editor Version 5.00\n; journal of snapshot " + Token() + "\n"; }
  void Reload() { ASSERT_TRUE(KvtrEmu_UsePrefix(prefix_.c_str())); }

  TestMachine machine_;
  std::string prefix_;
};

TEST_F(Journal, EachChangeIsOneNumberedCheckedRecordOfRegText) {
  HKEY key = nullptr;
  WCHAR perfClass[] = W("Perf \"Class\"");
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, W("Software\\J"), 0, perfClass, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "n", 5));
  const BYTE list[] = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, W("list"), 0, REG_MULTI_SZ, list, sizeof list));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "n"));
  RegCloseKey(key);
  const std::string section = "[HKEY_CURRENT_USER\\Software\\J]\n";
  const std::string upToList = Header() + Record(1, section + ";class=\"Perf \\\"Class\\\"\"\n") +
                               Record(2, section + "\"n\"=dword:00000005\n") +
                               Record(3, section + "\"list\"=hex(7):61,00,00,00,62,00,00,00,00,00\n") +
                               Record(4, section + "\"n\"=-\n");
  EXPECT_EQ(upToList, ReadHostFile(JournalFile()));

  // A fresh load applies them: the class, the list, no "n".
  Reload();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\J", 0, KEY_READ, &key));
  WCHAR found[32];
  DWORD size = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, found, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(WString(perfClass), WString(found));
  EXPECT_EQ(0u, GetDword(HKEY_CURRENT_USER, "Software\\J", "n"));
  BYTE data[16];
  size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("list"), nullptr, nullptr, data, &size));
  EXPECT_EQ(sizeof list, size);
  RegCloseKey(key);

  // A key's deletion; then compaction folds all of it into a snapshot with
  // a new name, the class kept as a comment line, and the journal goes.
  HKEY kept = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, W("Software\\Kept"), 0, perfClass, 0, KEY_ALL_ACCESS,
                                           nullptr, &kept, nullptr));
  RegCloseKey(kept);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\J"));
  const std::string journal = ReadHostFile(JournalFile());
  EXPECT_EQ(upToList + Record(5, "[HKEY_CURRENT_USER\\Software\\Kept]\n;class=\"Perf \\\"Class\\\"\"\n") +
                Record(6, "[-HKEY_CURRENT_USER\\Software\\J]\n"),
            journal);
  const std::string before = Token();
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  EXPECT_NE(before, Token());
  struct stat info;
  EXPECT_NE(0, stat(JournalFile().c_str(), &info));
  const std::string snapshot = ReadHostFile(Snapshot());
  EXPECT_NE(std::string::npos, snapshot.find("\n[HKEY_CURRENT_USER\\Software\\Kept]\n;class=\"Perf \\\"Class\\\"\"\n"));
  EXPECT_EQ(std::string::npos, snapshot.find("Software\\J]"));
  Reload();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_READ, &kept));
  size = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(kept, found, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(WString(perfClass), WString(found));
  RegCloseKey(kept);
}

TEST_F(Journal, ARecordCutShortOrDamagedIsIgnoredAndCutOffByTheNextChange) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Torn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "a", 1));
  const std::string whole = ReadHostFile(JournalFile());
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "b", 2));
  RegCloseKey(key);
  const std::string withB = ReadHostFile(JournalFile());
  ASSERT_EQ(whole, withB.substr(0, whole.size()));
  const std::string third = withB.substr(whole.size());  // the record of "b"

  struct Case {
    const char* what;
    std::string tail;
  };
  std::string badCrc = third;
  badCrc[third.find("dword:") + 13] = '3';  // the body no longer matches
  std::string badNumber = third;
  badNumber.replace(0, 10, "; change 4");
  const Case cases[] = {
      {"one byte of it", third.substr(0, 1)},
      {"up to its body", third.substr(0, third.find('\n') + 1)},
      {"half of it", third.substr(0, third.size() / 2)},
      {"all but the last line feed", third.substr(0, third.size() - 1)},
      {"a changed byte", badCrc},
      {"a wrong number", badNumber},
      {"garbage after it", third + "; change 4 length 9999\n[HKEY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool bKept = std::string(c.what) == "garbage after it";
    WriteHostFile(JournalFile(), whole + c.tail);
    Reload();
    EXPECT_EQ(1u, GetDword(HKEY_CURRENT_USER, "Software\\Torn", "a"));
    EXPECT_EQ(bKept ? 2u : 0u, GetDword(HKEY_CURRENT_USER, "Software\\Torn", "b"));
    // The next change takes the damaged record's place.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Torn", 0, KEY_ALL_ACCESS, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "c", 3));
    RegCloseKey(key);
    const std::string next = bKept ? Record(4, "[HKEY_CURRENT_USER\\Software\\Torn]\n\"c\"=dword:00000003\n")
                                   : Record(3, "[HKEY_CURRENT_USER\\Software\\Torn]\n\"c\"=dword:00000003\n");
    EXPECT_EQ(whole + (bKept ? third : std::string()) + next, ReadHostFile(JournalFile()));
    Reload();
    EXPECT_EQ(3u, GetDword(HKEY_CURRENT_USER, "Software\\Torn", "c"));
  }
}

TEST_F(Journal, AJournalOfAnotherSnapshotIsIgnoredAndReplaced) {
  const std::string section = "[HKEY_CURRENT_USER\\Software\\Other]\n";
  const std::string foreign = "Windows Registry Editor Version 5.00\n; journal of snapshot someone-else\n" +
                              Record(1, section + "\"x\"=dword:00000001\n");
  for (const std::string& text : {foreign, std::string("not a journal\n"), std::string()}) {
    WriteHostFile(JournalFile(), text);
    Reload();
    EXPECT_EQ(0u, GetDword(HKEY_CURRENT_USER, "Software\\Other", "x"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "y", 2));
    RegCloseKey(key);
    EXPECT_EQ(Header() + Record(1, section) + Record(2, section + "\"y\"=dword:00000002\n"),
              ReadHostFile(JournalFile()));
    ASSERT_EQ(ERROR_SUCCESS, DeleteTree(HKEY_CURRENT_USER, "Software\\Other"));
    ASSERT_TRUE(KvtrEmu_CompactRegistry());
  }
}

TEST_F(Journal, AnImportSmallerThanTheMachineIsOneRecordOfItsLines) {
  // regedit's form: UTF-16LE with its mark and CR LF.
  const std::string lines = "\r\n[HKEY_CURRENT_USER\\Software\\Imp]\r\n\"x\"=dword:00000007\r\n";
  std::string file = "\xFF\xFE";
  for (char c : "Windows Registry Editor Version 5.00\r\n" + lines) file += std::string{c, '\0'};
  const std::string path = prefix_ + "/small.reg";
  WriteHostFile(path, file);
  char error[256] = {};
  ASSERT_TRUE(KvtrEmu_ImportRegFile(path.c_str(), error, sizeof error)) << error;
  EXPECT_EQ(Header() + Record(1, lines), ReadHostFile(JournalFile()));
  Reload();
  EXPECT_EQ(7u, GetDword(HKEY_CURRENT_USER, "Software\\Imp", "x"));
}

TEST_F(Journal, AnImportReadInPartOrTouchingVolatileKeysIsWrittenAsASnapshot) {
  struct Case {
    const char* what;
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"no header", "garbage\n\n[HKEY_CURRENT_USER\\Software\\Bad]\n\"x\"=dword:00000001\n", false},
      {"a bad line", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Half]\n\"x\"=dword:00000001\nnonsense\n", false},
      {"a volatile key",
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0]\n"
       "\"x\"=dword:00000001\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = prefix_ + "/import.reg";
    WriteHostFile(path, c.text);
    char error[256] = {};
    EXPECT_EQ(c.accepted ? TRUE : FALSE, KvtrEmu_ImportRegFile(path.c_str(), error, sizeof error)) << error;
    struct stat info;
    EXPECT_NE(0, stat(JournalFile().c_str(), &info));  // nothing journalled
    Reload();
    // What was applied is what the snapshot holds, and nothing of the
    // volatile key outlives the process.
    EXPECT_EQ(0u, GetDword(HKEY_CURRENT_USER, "Software\\Bad", "x"));
    EXPECT_EQ(0u, GetDword(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "x"));
  }
  EXPECT_EQ(1u, GetDword(HKEY_CURRENT_USER, "Software\\Half", "x"));
}

TEST_F(Journal, AJournalLargerThanItsSnapshotIsFoldedIntoIt) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Big", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  struct stat info;
  ASSERT_EQ(0, stat(Snapshot().c_str(), &info));
  ASSERT_LT(info.st_size, 200000);  // a new machine: the 256 kB floor decides first
  const std::vector<BYTE> data(40000, 0x5A);  // 126 kB of hex a record
  const std::string first = Token();
  std::vector<int> folds;
  for (int i = 0; i < 9; ++i) {
    const std::string name = "blob" + std::to_string(i);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, REG_BINARY, data.data(), 40000));
    if (stat(JournalFile().c_str(), &info) != 0) folds.push_back(i);
  }
  RegCloseKey(key);
  // Past 256 kB with the third record; then past the snapshot, which holds
  // three of them by now, with the fourth after it.
  EXPECT_EQ(std::vector<int>({2, 6}), folds);
  EXPECT_NE(first, Token());
  Reload();
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Big", 0, KEY_READ, &key));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, ("blob" + std::to_string(i)).c_str(), nullptr, nullptr, nullptr,
                                              &size));
    EXPECT_EQ(40000u, size);
    RegCloseKey(key);
  }
}

TEST_F(Journal, AnotherProcesssRecordsApplyAtTheNextCall) {
  HKEY watched = nullptr, doomed = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &watched, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(watched, "doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed,
                                           nullptr));
  for (DWORD round = 1; round <= 3; ++round) {
    const std::vector<int> failures = RunInChildren(1, [&](int) {
      return SetDword(watched, "x", round) != ERROR_SUCCESS;
    });
    ASSERT_EQ(0, failures[0]);
    EXPECT_EQ(round, GetDword(HKEY_CURRENT_USER, "Software\\Shared", "x"));
  }
  // A key another process deleted is deleted for this process's handle.
  const std::vector<int> failures = RunInChildren(1, [&](int) { return RegDeleteKeyA(watched, "doomed") != 0; });
  ASSERT_EQ(0, failures[0]);
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(doomed, "late", 1));
  RegCloseKey(doomed);
  RegCloseKey(watched);
}

// ---- a writer killed at random moments ----

constexpr const char* kPerflib = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";
constexpr int kPerflibPairs = 1000;

std::vector<WString> Entries(HKEY key, const WCHAR* name) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
  std::string bytes(size, '\0');
  RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size);
  return DecodeMultiString(bytes);
}

void SetEntries(HKEY key, const WCHAR* name, const std::vector<WString>& entries, LONG* status) {
  const std::string bytes = MultiStringBytes(entries);
  *status = RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()));
}

// Change number `op`: exactly one call that may change the machine.
void ApplyOp(int op) {
  const std::string k = "Software\\Crash\\K" + std::to_string(op % 5);
  HKEY key = nullptr;
  LONG status = ERROR_SUCCESS;
  switch (op % 4) {
    case 0: {  // an edit of the counter list: a pair added, or the last pair taken off
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPerflib, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) break;
      std::vector<WString> entries = Entries(key, W("Counter"));
      if ((op / 4) % 3 == 2 && entries.size() >= 2) {
        entries.resize(entries.size() - 2);
      } else {
        const std::string index = std::to_string(2 * kPerflibPairs + 2 * op);
        entries.push_back(WString(index.begin(), index.end()));
        const std::string text = "Crash counter " + std::to_string(op);
        entries.push_back(WString(text.begin(), text.end()));
      }
      SetEntries(key, W("Counter"), entries, &status);
      break;
    }
    case 1:
      if (RegCreateKeyExA(HKEY_CURRENT_USER, k.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0) {
        status = SetDword(key, ("v" + std::to_string(op % 13)).c_str(), static_cast<DWORD>(op));
      }
      break;
    case 2:
      if (RegOpenKeyExA(HKEY_CURRENT_USER, k.c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
        RegDeleteValueA(key, ("v" + std::to_string((op * 7) % 13)).c_str());
      }
      break;
    default:
      if ((op / 4) % 2 == 0) {
        const std::string sub = k + "\\S" + std::to_string(op);
        char keyClass[16];
        std::snprintf(keyClass, sizeof keyClass, "c%d", op);
        RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      } else {
        RegDeleteKeyA(HKEY_CURRENT_USER, ("Software\\Crash\\K" + std::to_string((op - 4) % 5) + "\\S" +
                                          std::to_string(op - 4)).c_str());
      }
  }
  (void)status;
  if (key != nullptr) RegCloseKey(key);
}

// What the crash test compares: the keys the changes touch, as .reg text.
std::string State(const std::string& prefix) {
  EXPECT_TRUE(KvtrEmu_UsePrefix(prefix.c_str()));  // read afresh from the files
  const std::string perflib = prefix + "/perflib-state.reg", crash = prefix + "/crash-state.reg";
  std::string state;
  if (KvtrEmu_ExportRegFile(perflib.c_str(), HKEY_LOCAL_MACHINE, kPerflib)) state += ReadHostFile(perflib);
  if (KvtrEmu_ExportRegFile(crash.c_str(), HKEY_CURRENT_USER, "Software\\Crash")) state += ReadHostFile(crash);
  unlink(perflib.c_str());
  unlink(crash.c_str());
  return state;
}

void MakeMachine(const std::string& prefix) {
  ASSERT_EQ(0, mkdir(prefix.c_str(), 0755));
  ASSERT_TRUE(KvtrEmu_UsePrefix(prefix.c_str()));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPerflib, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                           nullptr));
  std::vector<WString> counters, help;
  for (int i = 1; i <= kPerflibPairs; ++i) {
    const std::string index = std::to_string(2 * i), name = "Synthetic counter " + std::to_string(i);
    const std::string explain = "Explains how synthetic counter " + std::to_string(i) + " counts what it counts.";
    counters.push_back(WString(index.begin(), index.end()));
    counters.push_back(WString(name.begin(), name.end()));
    const std::string helpIndex = std::to_string(2 * i + 1);
    help.push_back(WString(helpIndex.begin(), helpIndex.end()));
    help.push_back(WString(explain.begin(), explain.end()));
  }
  LONG status = ERROR_SUCCESS;
  SetEntries(key, W("Counter"), counters, &status);
  ASSERT_EQ(ERROR_SUCCESS, status);
  SetEntries(key, W("Help"), help, &status);
  ASSERT_EQ(ERROR_SUCCESS, status);
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Crash", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegCloseKey(key);
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
}

TEST(JournalCrash, AWriterKilledAtAnyMomentKeepsEveryChangeThatReturnedAndNothingElse) {
  TestMachine machine;
  const std::string base = KvtrEmu_Prefix();
  const std::string crashed = base + "/crashed", oracle = base + "/oracle";
  MakeMachine(crashed);
  MakeMachine(oracle);
  ASSERT_EQ(State(oracle), State(crashed));

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> delayUs(0, 10000);
  int next = 0;  // the first change the crashed machine does not hold
  int inFlightKept = 0;
  std::set<std::string> snapshots;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", from change " + std::to_string(next));
    int progress[2];
    ASSERT_EQ(0, pipe(progress));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(progress[0]);
      KvtrEmu_UsePrefix(crashed.c_str());
      for (int op = next;; ++op) {
        ApplyOp(op);
        // Told only once the call has returned.
        if (write(progress[1], &op, sizeof op) != sizeof op) _exit(1);
      }
    }
    close(progress[1]);
    // The kill comes at a random moment after the first change returned
    // (the machine's load before it takes most of the time otherwise).
    int done = next, op = 0;
    if (read(progress[0], &op, sizeof op) == sizeof op) done = op + 1;
    usleep(static_cast<useconds_t>(delayUs(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    while (read(progress[0], &op, sizeof op) == sizeof op) done = op + 1;
    close(progress[0]);

    // The oracle makes the same changes, one process, no kill.
    ASSERT_TRUE(KvtrEmu_UsePrefix(oracle.c_str()));
    for (int i = next; i < done; ++i) ApplyOp(i);
    const std::string found = State(crashed);
    snapshots.insert(ReadHostFile(crashed + "/registry.reg").substr(0, 80));
    std::string expected = State(oracle);
    if (found != expected) {
      // The change in flight when the kill came may have been made.
      ASSERT_TRUE(KvtrEmu_UsePrefix(oracle.c_str()));
      ApplyOp(done);
      expected = State(oracle);
      ASSERT_EQ(expected, found) << "the machine holds neither changes 0.." << done - 1 << " nor 0.." << done;
      ++done;
      ++inFlightKept;
    }
    next = done;
  }
  // The kills came across compactions (each names its snapshot anew).
  EXPECT_GT(snapshots.size(), 10u);
  std::printf("%d changes in 200 rounds, %d in-flight changes kept, %zu snapshots\n", next, inFlightKept,
              snapshots.size());
}

}  // namespace
}  // namespace kvtr::test
