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
#include <filesystem>
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

// ---- a writer killed at any moment ----

constexpr const char* kPerflib = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";
constexpr int kPerflibPairs = 1000;

WString Widen(const std::string& text) { return WString(text.begin(), text.end()); }

void SetEntries(HKEY key, const WCHAR* name, const std::vector<WString>& entries, LONG* status) {
  const std::string bytes = MultiStringBytes(entries);
  *status = RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()));
}

// The crash tests' changes as a sequence of registry calls. Change number
// `op` is a few calls (open or create, read, write, close), and Step makes
// exactly one of them, so a writer can be stopped, or killed, between any
// two. Two writers started at the same change on equal machines make the
// same calls.
class Writer {
 public:
  explicit Writer(int op) : op_(op) {}
  ~Writer() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // The change to start from again: the one in progress, or the next.
  int Resume() const { return op_; }

  void Step() {
    const std::string k = "Software\\Crash\\K" + std::to_string(op_ % 5);
    const int step = step_++;
    bool last = false;
    switch (op_ % 4) {
      case 0:  // an edit of the counter list: a pair added, or the last pair taken off
        if (step == 0) {
          last = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPerflib, 0, KEY_ALL_ACCESS, &key_) != ERROR_SUCCESS;
        } else if (step == 1) {
          size_ = 0;
          RegQueryValueExW(key_, W("Counter"), nullptr, nullptr, nullptr, &size_);
        } else if (step == 2) {
          std::string bytes(size_, '\0');
          RegQueryValueExW(key_, W("Counter"), nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size_);
          entries_ = DecodeMultiString(bytes);
          if ((op_ / 4) % 3 == 2 && entries_.size() >= 2) {
            entries_.resize(entries_.size() - 2);
          } else {
            entries_.push_back(Widen(std::to_string(2 * kPerflibPairs + 2 * op_)));
            entries_.push_back(Widen("Crash counter " + std::to_string(op_)));
          }
        } else if (step == 3) {
          LONG status = ERROR_SUCCESS;
          SetEntries(key_, W("Counter"), entries_, &status);
        } else {
          last = CloseKey();
        }
        break;
      case 1:
        if (step == 0) {
          last = RegCreateKeyExA(HKEY_CURRENT_USER, k.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                 nullptr) != ERROR_SUCCESS;
        } else if (step == 1) {
          SetDword(key_, ("v" + std::to_string(op_ % 13)).c_str(), static_cast<DWORD>(op_));
        } else {
          last = CloseKey();
        }
        break;
      case 2:
        if (step == 0) {
          last = RegOpenKeyExA(HKEY_CURRENT_USER, k.c_str(), 0, KEY_ALL_ACCESS, &key_) != ERROR_SUCCESS;
        } else if (step == 1) {
          RegDeleteValueA(key_, ("v" + std::to_string((op_ * 7) % 13)).c_str());
        } else {
          last = CloseKey();
        }
        break;
      default:
        if ((op_ / 4) % 2 != 0) {
          RegDeleteKeyA(HKEY_CURRENT_USER, ("Software\\Crash\\K" + std::to_string((op_ - 4) % 5) + "\\S" +
                                            std::to_string(op_ - 4)).c_str());
          last = true;
        } else if (step == 0) {
          const std::string sub = k + "\\S" + std::to_string(op_);
          char keyClass[16];
          std::snprintf(keyClass, sizeof keyClass, "c%d", op_);
          last = RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                 nullptr) != ERROR_SUCCESS;
        } else {
          last = CloseKey();
        }
    }
    if (last) {
      key_ = nullptr;
      ++op_;
      step_ = 0;
    }
  }

 private:
  bool CloseKey() {
    RegCloseKey(key_);
    return true;
  }

  int op_;
  int step_ = 0;
  HKEY key_ = nullptr;
  DWORD size_ = 0;
  std::vector<WString> entries_;
};

// What the crash tests compare: the keys the changes touch, as .reg text.
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
    counters.push_back(Widen(std::to_string(2 * i)));
    counters.push_back(Widen("Synthetic counter " + std::to_string(i)));
    help.push_back(Widen(std::to_string(2 * i + 1)));
    help.push_back(Widen("Explains how synthetic counter " + std::to_string(i) + " counts what it counts."));
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

struct Kill {
  int afterCalls = 0;      // SIGKILL right after this many calls returned (0: no)
  unsigned inWrite = 0;    // SIGKILL inside this write of a registry file (0: no)
  int fromOutsideAfter = 0;  // SIGKILL from outside once this many calls returned (0: no) ...
  int delayUs = 0;           // ... and this much later
};

// The sanitizers make each process start and each call many times slower:
// the crash tests make fewer rounds there.
#if defined(__SANITIZE_ADDRESS__)
#define KVTR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVTR_SANITIZED 1
#endif
#endif
#ifdef KVTR_SANITIZED
constexpr int kRoundsDivisor = 3;
#else
constexpr int kRoundsDivisor = 1;
#endif

// Starts a writer on `prefix` at change `from`, kills it as `kill` says,
// and answers how many of its registry calls returned.
int RunAndKill(const std::string& prefix, int from, const Kill& how) {
  int progress[2];
  EXPECT_EQ(0, pipe(progress));
  const pid_t child = fork();
  EXPECT_GE(child, 0);
  if (child == 0) {
    close(progress[0]);
    KvtrEmu_UsePrefix(prefix.c_str());
    KvtrEmu_KillInWrite(how.inWrite);
    Writer writer(from);
    for (int made = 1;; ++made) {
      writer.Step();
      // Told only once the call has returned.
      if (write(progress[1], &made, sizeof made) != sizeof made) _exit(1);
      if (made == how.afterCalls) raise(SIGKILL);
    }
  }
  close(progress[1]);
  int made = 0, told = 0;
  if (how.fromOutsideAfter > 0) {
    // Counted in calls, so each round gets on however slow the machine is;
    // the delay puts the kill anywhere in the calls that follow.
    while (made < how.fromOutsideAfter && read(progress[0], &told, sizeof told) == sizeof told) made = told;
    usleep(static_cast<useconds_t>(how.delayUs));
    kill(child, SIGKILL);
  }
  int status = 0;
  EXPECT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended with status " << status;
  while (read(progress[0], &told, sizeof told) == sizeof told) made = told;
  close(progress[0]);
  return made;
}

// The oracle: a machine that makes the same calls, in one process, never
// killed. Brings it `calls` calls on from change `from`, and holds the
// crashed machine to the oracle's state, or, when `inFlight` allows, to the
// state one call later (the call the kill interrupted may have been made).
// Answers the change both start from next; sets `keptInFlight`.
int CheckAgainstOracle(const std::string& crashed, const std::string& oracle, int from, int calls, bool inFlight,
                       bool* keptInFlight) {
  const std::string found = State(crashed);
  EXPECT_TRUE(KvtrEmu_UsePrefix(oracle.c_str()));
  Writer writer(from);
  for (int i = 0; i < calls; ++i) writer.Step();
  std::string expected = State(oracle);
  *keptInFlight = false;
  if (found != expected && inFlight) {
    writer.Step();
    expected = State(oracle);
    *keptInFlight = true;
  }
  EXPECT_EQ(expected, found) << "the machine holds neither calls 1.." << calls << (inFlight ? " nor 1..+1" : "")
                             << " from change " << from;
  return writer.Resume();
}

class JournalCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = KvtrEmu_Prefix();
    crashed_ = base_ + "/crashed";
    oracle_ = base_ + "/oracle";
    MakeMachine(crashed_);
    MakeMachine(oracle_);
    ASSERT_EQ(State(oracle_), State(crashed_));
  }

  TestMachine machine_;
  std::string base_, crashed_, oracle_;
};

TEST_F(JournalCrash, AWriterKilledAtAnyMomentKeepsEveryChangeThatReturnedAndNothingElse) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> callsBefore(1, 40), delayUs(0, 2000);
  int next = 0;  // the change both machines start from
  int calls = 0, inFlightKept = 0;
  std::set<std::string> snapshots;
  const int rounds = 200 / kRoundsDivisor;
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Kill kill;
    kill.fromOutsideAfter = callsBefore(random);
    kill.delayUs = delayUs(random);
    const int made = RunAndKill(crashed_, next, kill);
    snapshots.insert(ReadHostFile(crashed_ + "/registry.reg").substr(0, 80));
    bool kept = false;
    next = CheckAgainstOracle(crashed_, oracle_, next, made, /*inFlight=*/true, &kept);
    calls += made;
    inFlightKept += kept;
  }
  // The kills came across compactions (each names its snapshot anew).
  EXPECT_GT(snapshots.size(), 10u);
  std::printf("%d calls in %d rounds up to change %d, %d in-flight calls kept, %zu snapshots\n", calls, rounds, next,
              inFlightKept, snapshots.size());
}

TEST_F(JournalCrash, AWriterKilledAfterItsNthCallKeepsExactlyTheCallsThatReturned) {
  // Each kill on a copy of the same machine; the oracle goes one call on
  // between kills, never killed.
  const std::string first = base_ + "/first";
  std::filesystem::copy(crashed_, first, std::filesystem::copy_options::recursive);
  ASSERT_TRUE(KvtrEmu_UsePrefix(oracle_.c_str()));
  Writer oracle(0);
  const int kCalls = 240 / kRoundsDivisor;
  for (int n = 1; n <= kCalls && !HasFailure(); ++n) {
    SCOPED_TRACE("killed after call " + std::to_string(n));
    std::filesystem::remove_all(crashed_);
    std::filesystem::copy(first, crashed_, std::filesystem::copy_options::recursive);
    Kill kill;
    kill.afterCalls = n;
    ASSERT_EQ(n, RunAndKill(crashed_, 0, kill));
    const std::string found = State(crashed_);
    ASSERT_TRUE(KvtrEmu_UsePrefix(oracle_.c_str()));
    oracle.Step();
    ASSERT_EQ(State(oracle_), found);
  }
  EXPECT_GT(oracle.Resume(), kCalls / 5);  // past many changes, not one
}

TEST_F(JournalCrash, AWriterKilledInTheMiddleOfAWriteKeepsEveryChangeThatReturnedAndNothingElse) {
  // Rounds one after the other on the same machine: each writer dies inside
  // one of its first writes (a journal record, a new journal, a snapshot),
  // and the next one finds what it left.
  int next = 0, calls = 0, inFlightKept = 0;
  std::set<std::string> snapshots;
  const int rounds = 150 / kRoundsDivisor;
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", killed in write " + std::to_string(round % 5 + 1));
    Kill kill;
    kill.inWrite = static_cast<unsigned>(round % 5 + 1);
    const int made = RunAndKill(crashed_, next, kill);
    snapshots.insert(ReadHostFile(crashed_ + "/registry.reg").substr(0, 80));
    bool kept = false;
    next = CheckAgainstOracle(crashed_, oracle_, next, made, /*inFlight=*/true, &kept);
    calls += made;
    inFlightKept += kept;
  }
  // The writes cut short were journal records (the call's change is lost)
  // and snapshots of a compaction after a whole record (it is kept).
  EXPECT_GT(snapshots.size(), 3u);
  EXPECT_GT(inFlightKept, 0);
  EXPECT_LT(inFlightKept, rounds);
  std::printf("%d calls in %d rounds up to change %d, %d in-flight calls kept, %zu snapshots\n", calls, rounds, next,
              inFlightKept, snapshots.size());
}

}  // namespace
}  // namespace kvtr::test
