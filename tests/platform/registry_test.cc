// Registry keys: open, create, delete, enumerate, access and handles. Every
// case runs in a throw-away key and must give the same answer on the POSIX
// layer and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

const HKEY kSentinelKey = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef));

class RegistryKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &base_));
  }
  void TearDown() override { RegCloseKey(base_); }

  HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base_, path, 0, nullptr, 0, access, nullptr, &key, disposition)) << path;
    return key;
  }
  void Touch(const char* path) { RegCloseKey(Create(path)); }

  std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    char name[300];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  TestMachine machine_;
  HKEY base_ = nullptr;
};

TEST_F(RegistryKeys, OpeningAMissingKeyFailsAndClearsTheHandle) {
  HKEY key = kSentinelKey;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(base_, "missing", 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  key = kSentinelKey;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(base_, W("missing\\deeper"), 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
}

TEST_F(RegistryKeys, APathStartingWithABackslashIsRefused) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(base_, "\\x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(base_, "\\x", 0, KEY_READ, &key));
}

TEST_F(RegistryKeys, CreateMakesMissingParentsAndReportsWhatItDid) {
  DWORD disposition = 0;
  RegCloseKey(Create("one\\two\\three", KEY_ALL_ACCESS, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  RegCloseKey(Create("one\\two\\three\\", KEY_ALL_ACCESS, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "one\\two", 0, KEY_READ, &key));
  EXPECT_EQ(std::vector<std::string>{"three"}, SubKeys(key));
  RegCloseKey(key);
}

TEST_F(RegistryKeys, NamesIgnoreCaseButKeepTheirSpelling) {
  Touch("Mixed\\Child");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "MIXED\\child", 0, KEY_READ, &key));
  RegCloseKey(key);
  DWORD disposition = 0;
  RegCloseKey(Create("mixed", KEY_ALL_ACCESS, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ(std::vector<std::string>{"Mixed"}, SubKeys(base_));
}

// Names match as Windows' upper-case table has them, across the scripts of
// the Basic Multilingual Plane; characters whose upper case does not map
// back (final sigma, dotless i) stay themselves.
TEST_F(RegistryKeys, NamesMatchWithoutCaseInEveryScript) {
  const struct {
    const WCHAR* created;
    const WCHAR* opened;
    bool same;
  } kCases[] = {
      {W("\xFF21\xFF22\xFF23"), W("\xFF41\xFF42\xFF43"), true},  // full-width Latin
      {W("\x0391\x0392\x0393"), W("\x03B1\x03B2\x03B3"), true},  // Greek
      {W("\x042F\x0416"), W("\x044F\x0436"), true},                // Cyrillic
      {W("\x0531\x0532"), W("\x0561\x0562"), true},                // Armenian
      {W("\x1C90\x1C91"), W("\x10D0\x10D1"), true},                // Georgian
      {W("\x13A0\x13A1"), W("\xAB70\xAB71"), true},                // Cherokee
      {W("\x24B6\x2160"), W("\x24D0\x2170"), true},                // circled letters, Roman numerals
      {W("\x03A3x"), W("\x03C2x"), false},                           // final sigma
      {W("Ix"), W("\x0131x"), false},                                 // dotless i
      {W("Sx"), W("\x017Fx"), false},                                 // long s
  };
  for (const auto& c : kCases) {
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(base_, c.created, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr));
    RegCloseKey(created);
    HKEY opened = nullptr;
    EXPECT_EQ(c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, RegOpenKeyExW(base_, c.opened, 0, KEY_READ, &opened))
        << std::hex << static_cast<unsigned>(c.opened[0]);
    if (opened != nullptr) RegCloseKey(opened);
  }
  WCHAR text[] = W("\xFF41\x03B1\x044F\x0561\x10D0\xAB70\x24D0\x2170\x03C2\x0131\x017F\x00B5\x01C5z");
  CharUpperBuffW(text, static_cast<DWORD>(WideLength(text)));
  EXPECT_EQ(WString(W("\xFF21\x0391\x042F\x0531\x1C90\x13A0\x24B6\x2160\x03C2\x0131\x017F\x00B5\x01C5Z")),
            WString(text));
}

// Key names take up to 255 characters a component and value names up to
// 16 383, as Windows documents them; one more is refused as a parameter.
TEST_F(RegistryKeys, NamesTakeUpToTheDocumentedLengths) {
  HKEY key = nullptr;
  const WString longest(255, W('k'));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(base_, longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(base_, longest.c_str(), 0, KEY_READ, &key));
  RegCloseKey(key);
  const WString tooLong(257, W('k'));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExW(base_, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const WString oneMore(256, W('k'));
  const LONG status = RegCreateKeyExW(base_, oneMore.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (WineDiffers("Wine takes key name components of 256 characters")) {
    EXPECT_EQ(ERROR_SUCCESS, status);
    RegCloseKey(key);
  } else {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, status);
  }

  const DWORD one = 1;
  const WString longestValue(16383, W('v'));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(base_, longestValue.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                          sizeof one));
  DWORD read = 0, size = sizeof read;
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(base_, longestValue.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size));
  EXPECT_EQ(1u, read);
  const WString valueTooLong(16384, W('v'));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(base_, valueTooLong.c_str(), 0, REG_DWORD,
                                                    reinterpret_cast<const BYTE*>(&one), sizeof one));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExW(base_, valueTooLong.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size));
}

TEST_F(RegistryKeys, SubkeysEnumerateInCaseInsensitiveNameOrder) {
  for (const char* name : {"b", "B2", "a", "Z", "c1", "C0"}) Touch((std::string("order\\") + name).c_str());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "order", 0, KEY_READ, &key));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "B2", "C0", "c1", "Z"}), SubKeys(key));

  // Windows orders upper-cased names, so '_' (0x5F) sorts after 'Z'; Wine
  // compares lower-cased names and puts it first.
  Touch("order\\_x");
  const std::vector<std::string> names = SubKeys(key);
  if (WineDiffers("subkey order of names with characters between Z and a")) {
    EXPECT_EQ("_x", names.front());
  } else {
    EXPECT_EQ("_x", names.back());
  }
  RegCloseKey(key);
}

TEST_F(RegistryKeys, EnumerationReportsSmallBuffersAndItsEnd) {
  Touch("parent\\abcdef");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "parent", 0, KEY_READ, &key));
  char name[8];
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(key, 0, name, 6));
  EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(key, 0, name, 7));
  EXPECT_STREQ("abcdef", name);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(key, 1, name, sizeof name));
  WCHAR wide[8];
  EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyW(key, 0, wide, 8));
  EXPECT_EQ(WString(W("abcdef")), WString(wide));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyW(key, 5, wide, 8));
  RegCloseKey(key);
}

TEST_F(RegistryKeys, DeletingAKeyThatHasSubkeysIsRefused) {
  Touch("tree\\leaf");
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(base_, "tree"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(base_, "tree\\leaf"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(base_, W("TREE")));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(base_, "tree"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(base_, nullptr));
}

TEST_F(RegistryKeys, AnEmptySubkeyNameDeletesTheKeyItself) {
  HKEY key = Create("self");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, ""));
  RegCloseKey(key);
  HKEY again = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(base_, "self", 0, KEY_READ, &again));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, ""));
}

TEST_F(RegistryKeys, AHandleToADeletedKeyAnswersKeyDeleted) {
  HKEY key = Create("doomed");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(base_, "doomed"));
  const BYTE data[] = {'x', 0};
  DWORD size = 0;
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_SZ, data, sizeof data));
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegCreateKeyExA(key, "child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

TEST_F(RegistryKeys, AHandleAllowsOnlyTheAccessItWasOpenedWith) {
  Touch("guarded\\child");
  HKEY readOnly = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "guarded", 0, KEY_READ, &readOnly));
  const BYTE data[] = {1, 0, 0, 0};
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(readOnly, "v", 0, REG_DWORD, data, 4));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(readOnly, "v"));
  // Creating a subkey is checked against the key's security, not against
  // the handle's rights: a read-only handle creates, and opens what exists.
  HKEY made = nullptr;
  DWORD disposition = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(readOnly, "made", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  RegCloseKey(made);
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(readOnly, "made", 0, nullptr, 0, KEY_READ, nullptr, &made, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  RegCloseKey(made);
  RegCloseKey(readOnly);

  HKEY setOnly = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base_, "guarded", 0, KEY_SET_VALUE, &setOnly));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(setOnly, "v", 0, REG_DWORD, data, 4));
  char name[32];
  DWORD size = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyA(setOnly, 0, name, sizeof name));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(setOnly, "v", nullptr, nullptr, nullptr, &size));
  RegCloseKey(setOnly);
}

TEST_F(RegistryKeys, UnknownHandlesAreRejected) {
  const HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x5678));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(bogus, "x", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bogus));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
}

TEST_F(RegistryKeys, QueryInfoCountsSubkeysAndValuesWithTheirLongestNames) {
  HKEY key = Create("info");
  RegCloseKey(Create("info\\short"));
  RegCloseKey(Create("info\\muchlonger"));
  const BYTE data[] = {1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_BINARY, data, 7));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "value-name", 0, REG_BINARY, data, 3));
  DWORD subKeys = 99, maxSubKey = 99, values = 99, maxName = 99, maxData = 99;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values,
                                            &maxName, &maxData, nullptr, nullptr));
  EXPECT_EQ(2u, subKeys);
  EXPECT_EQ(10u, maxSubKey);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(10u, maxName);
  EXPECT_EQ(7u, maxData);
  RegCloseKey(key);
}

TEST_F(RegistryKeys, AKeysClassIsGivenAtCreationAndAnsweredWithItsSize) {
  HKEY parent = Create("classes");
  HKEY key = nullptr;
  WCHAR perfClass[] = W("Perf Class");
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(parent, W("with"), 0, perfClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  struct Case {
    DWORD capacity;  // characters, the terminator included
    LONG status;
    DWORD size;      // characters, without the terminator
    const char* text;
  };
  const Case cases[] = {
      {64, ERROR_SUCCESS, 10, "Perf Class"},
      {11, ERROR_SUCCESS, 10, "Perf Class"},
      {10, ERROR_MORE_DATA, 10, nullptr},  // no room for the terminator
      {1, ERROR_MORE_DATA, 10, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("capacity " + std::to_string(c.capacity));
    WCHAR wide[64];
    char narrow[64];
    DWORD wideSize = c.capacity, narrowSize = c.capacity;
    const LONG wideStatus = RegQueryInfoKeyW(key, wide, &wideSize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr);
    const LONG narrowStatus = RegQueryInfoKeyA(key, narrow, &narrowSize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(c.size, wideSize);
    if (c.status == ERROR_MORE_DATA && WineDiffers("Wine's RegQueryInfoKeyW answers ERROR_INSUFFICIENT_BUFFER for a "
                                                   "small class buffer, its A form the characters it copied")) {
      EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, wideStatus);
      EXPECT_EQ(ERROR_MORE_DATA, narrowStatus);
      EXPECT_EQ(c.capacity - 1, narrowSize);
      continue;
    }
    EXPECT_EQ(c.status, wideStatus);
    EXPECT_EQ(c.status, narrowStatus);
    EXPECT_EQ(c.size, narrowSize);
    if (c.text != nullptr) {
      EXPECT_EQ(WString(perfClass), WString(wide));
      EXPECT_STREQ(c.text, narrow);
    }
  }
  // The size alone; the parent's longest subkey class; a key without one.
  DWORD size = 0, longestClass = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(10u, size);
  RegCloseKey(Create("classless"));  // a subkey without a class
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, nullptr, nullptr, &longestClass,
                                            nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(10u, longestClass);
  WCHAR none[8] = {'x', 0};
  size = 8;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(parent, none, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(0, none[0]);

  // Windows sets a class when it creates the key: opening an existing key
  // with another class keeps the first.
  HKEY again = nullptr;
  char otherClass[] = "Other";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, "with", 0, otherClass, 0, KEY_ALL_ACCESS, nullptr, &again, nullptr));
  RegCloseKey(again);
  WCHAR kept[64];
  size = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, kept, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
  if (!WineDiffers("Wine gives an existing key the class of a later RegCreateKeyEx")) {
    EXPECT_EQ(WString(perfClass), WString(kept));
  }
  RegCloseKey(key);
  RegCloseKey(parent);
}

TEST_F(RegistryKeys, LineBreaksInNamesAndClasses) {
  HKEY key = Create("breaks");
  const DWORD one = 1;
  const auto set = [&](const char* name) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  };
  const auto create = [&](const char* name, char* keyClass) {
    HKEY made = nullptr;
    const LONG status = RegCreateKeyExA(key, name, 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr);
    RegCloseKey(made);
    return status;
  };
  char brokenClass[] = "x\"\n[-HKEY_CURRENT_USER\\Software]\n;\"";
  if (LayerDiffers("the emulated registry refuses line breaks in names and classes, which its .reg files cannot "
                   "hold")) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, set("a\nb"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, set("a\rb"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, create("a\nb", nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, create("plain", brokenClass));
    EXPECT_TRUE(SubKeys(key).empty());
  } else {
    EXPECT_EQ(ERROR_SUCCESS, set("a\nb"));
    EXPECT_EQ(ERROR_SUCCESS, create("a\nb", nullptr));
    EXPECT_EQ(ERROR_SUCCESS, create("plain", brokenClass));
  }
  RegCloseKey(key);
}

TEST_F(RegistryKeys, ClassesRootIsTheMachinesSoftwareClasses) {
  const std::string name = "kvtr-test-class-" + machine_.ScratchKey().substr(machine_.ScratchKey().rfind('\\') + 1);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("Software\\Classes\\" + name).c_str(), 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CLASSES_ROOT, name.c_str()));
}

// A registry tree is at most 512 levels deep; Windows creates at most 32
// levels in one call, so the chain is made in steps.
TEST_F(RegistryKeys, KeysLieAtMost512LevelsBelowTheirHive) {
  // The scratch key is Software\kvtr-tests\<test>, 3 levels below the hive.
  constexpr int kScratchDepth = 3;
  HKEY key = base_;
  for (int depth = kScratchDepth; depth < 512;) {
    const int step = std::min(31, 512 - depth);
    std::string path = "k";
    for (int i = 1; i < step; ++i) path += "\\k";
    HKEY next = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr))
        << "at depth " << depth;
    if (key != base_) RegCloseKey(key);
    key = next;
    depth += step;
  }
  HKEY deeper = kSentinelKey;
  const LONG status = RegCreateKeyExW(key, W("one-too-many"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr);
  if (WineDiffers("no limit on the depth of keys")) {
    EXPECT_EQ(ERROR_SUCCESS, status);
    RegCloseKey(deeper);
    RegDeleteKeyW(key, W("one-too-many"));
  } else {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, status);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(key, W("one-too-many"), 0, KEY_READ, &deeper));
  }
  HKEY existing = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(key, W(""), 0, KEY_READ, &existing));
  RegCloseKey(existing);
  RegCloseKey(key);
}

}  // namespace
}  // namespace kvtr::test
