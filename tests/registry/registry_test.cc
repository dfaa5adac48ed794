// The Registry key object, in a throw-away key on the POSIX layer and under
// Wine alike.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common_utils/registry/registry.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::registry {
namespace {

using Bytes = std::vector<BYTE>;

class RegistryObject : public ::testing::Test {
 protected:
  std::string Key(const std::string& below = "") const {
    return machine_.ScratchKey() + (below.empty() ? "" : "\\" + below);
  }
  void MakeKey(const std::string& below) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, Key(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    RegCloseKey(key);
  }
  void SetRaw(const std::string& below, const WCHAR* name, DWORD type, const Bytes& data) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, Key(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
    RegCloseKey(key);
  }
  Bytes GetRaw(const std::string& below, const WCHAR* name) {
    HKEY key = nullptr;
    Bytes data(1 << 16);
    DWORD size = static_cast<DWORD>(data.size());
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, Key(below).c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &size));
    RegCloseKey(key);
    data.resize(size);
    return data;
  }
  bool Exists(const std::string& below) {
    HKEY key = nullptr;
    const bool found = RegOpenKeyExA(HKEY_CURRENT_USER, Key(below).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (found) RegCloseKey(key);
    return found;
  }
  static Bytes Wide(const WString& text) {
    Bytes out(text.size() * 2);
    std::memcpy(out.data(), text.data(), out.size());
    return out;
  }

  test::TestMachine machine_;
};

TEST_F(RegistryObject, OpeningTwiceKeepsTheFirstHandleAndPath) {
  MakeKey("a");
  MakeKey("b");
  Registry key(HKEY_CURRENT_USER, Key("a").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  EXPECT_TRUE(key.Open(true)) << "already open: true, handle kept";
  EXPECT_FALSE(key.SetDWORD(W("v"), 1)) << "the kept handle is still read-only";
  EXPECT_EQ(ERROR_ACCESS_DENIED, key.lastError());
  EXPECT_FALSE(key.Open(Key("b").c_str(), true));
  EXPECT_EQ(Key("a"), key.GetPath());
  key.Close();
  ASSERT_TRUE(key.Open(Key("b").c_str(), true));
  EXPECT_TRUE(key.SetDWORD(W("v"), 1));
}

TEST_F(RegistryObject, FailuresKeepTheRegistryStatus) {
  Registry key(HKEY_CURRENT_USER, Key("missing").c_str(), Registry::kNoNameCache);
  EXPECT_FALSE(key.Open(false));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.lastError());
  DWORD count = 7;
  EXPECT_FALSE(key.GetSubKeyCount(&count));
  EXPECT_EQ(0, key.lastError()) << "refused without a registry call";
}

TEST_F(RegistryObject, DeletingATreeRemovesEveryLevel) {
  for (const char* path : {"tree\\c1\\g1", "tree\\c1\\g2", "tree\\c2", "tree\\c3\\g3\\deep"}) MakeKey(path);
  SetRaw("tree\\c2", W("v"), REG_DWORD, {1, 0, 0, 0});
  Registry key(HKEY_CURRENT_USER, "", Registry::kNoNameCache);
  EXPECT_TRUE(key.DeleteKey(Key("tree").c_str()));
  EXPECT_FALSE(Exists("tree"));
  EXPECT_TRUE(Exists(""));
}

TEST_F(RegistryObject, DeletingAMissingKeySucceedsWithTheOpenFailureKept) {
  Registry key(HKEY_CURRENT_USER, "", Registry::kNoNameCache);
  EXPECT_TRUE(key.DeleteKey(Key("never").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.lastError());
}

TEST_F(RegistryObject, AnEmptyPathNeverDeletesTheRoot) {
  Registry key(HKEY_CURRENT_USER, "", Registry::kNoNameCache);
  EXPECT_FALSE(key.DeleteKey());
  EXPECT_TRUE(Exists(""));
}

TEST_F(RegistryObject, AnOpenObjectRefusesPathTakingCalls) {
  MakeKey("open");
  MakeKey("other");
  Registry key(HKEY_CURRENT_USER, Key("open").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  EXPECT_FALSE(key.DeleteKey(Key("other").c_str()));
  EXPECT_FALSE(key.DeleteKey());
  EXPECT_FALSE(key.Create(W("x")));
  EXPECT_TRUE(Exists("other"));
}

TEST_F(RegistryObject, CachedValueNamesHideLaterValues) {
  SetRaw("cache", W("Early"), REG_DWORD, {5, 0, 0, 0});
  Registry key(HKEY_CURRENT_USER, Key("cache").c_str(), Registry::kCacheValueNames);
  ASSERT_TRUE(key.Open(true));
  DWORD value = 0;
  EXPECT_TRUE(key.GetDWORD(W("EARLY"), &value));
  EXPECT_EQ(5u, value);
  EXPECT_TRUE(key.HasValue("early"));
  ASSERT_TRUE(key.SetDWORD(W("late"), 6));
  value = 99;
  EXPECT_FALSE(key.GetDWORD(W("late"), &value));
  EXPECT_EQ(0, key.lastError());
  EXPECT_EQ(99u, value);
  key.Close();
  ASSERT_TRUE(key.Open(false));
  EXPECT_TRUE(key.GetDWORD(W("late"), &value));
  EXPECT_EQ(6u, value);
}

TEST_F(RegistryObject, TypedReadsRefuseOtherTypesAndKeepTheirOutValue) {
  SetRaw("typed", W("number"), REG_DWORD, {7, 0, 0, 0});
  SetRaw("typed", W("text"), REG_SZ, Wide(WString(W("seven")) + WString(1, 0)));
  Registry key(HKEY_CURRENT_USER, Key("typed").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  char narrow[16];
  std::memset(narrow, '#', sizeof narrow);
  EXPECT_FALSE(key.GetString("number", narrow, sizeof narrow));
  EXPECT_EQ('#', narrow[0]);
  DWORD value = 42;
  EXPECT_FALSE(key.GetDWORD(W("text"), &value));
  EXPECT_EQ(42u, value);
  EXPECT_FALSE(key.GetDWORD(W("missing"), &value, 3));
  EXPECT_EQ(3u, value);
  bool flag = false;
  EXPECT_TRUE(key.GetBool(W("number"), &flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(key.GetBool(W("missing"), &flag, false));
  EXPECT_FALSE(flag);
  std::vector<WString> list{W("kept")};
  EXPECT_FALSE(key.GetMultiString(W("text"), list));
  EXPECT_EQ(std::vector<WString>{W("kept")}, list);
}

TEST_F(RegistryObject, StringsAreCutToTheBufferAndExpanded) {
  SetRaw("strings", W("plain"), REG_SZ, Wide(WString(W("abcdef")) + WString(1, 0)));
  SetRaw("strings", W("expand"), REG_EXPAND_SZ, Wide(WString(W("%windir%\\x")) + WString(1, 0)));
  Registry key(HKEY_CURRENT_USER, Key("strings").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  char cut[4];
  ASSERT_TRUE(key.GetString("plain", cut, sizeof cut));
  EXPECT_STREQ("abc", cut);
  WCHAR wideCut[4];
  ASSERT_TRUE(key.GetString(W("plain"), wideCut, 4));
  EXPECT_EQ(WString(W("abc")), WString(wideCut));

  char expanded[MAX_PATH];
  ASSERT_TRUE(key.GetString("expand", expanded, sizeof expanded));
  char expected[MAX_PATH];
  ExpandEnvironmentStringsA("%windir%\\x", expected, MAX_PATH);
  EXPECT_STREQ(expected, expanded);
  // An expansion that does not fit would name another path: no result.
  char tooSmall[4];
  EXPECT_FALSE(key.GetString("expand", tooSmall, sizeof tooSmall));
#ifndef _WIN32
  // When the expansion itself fails the raw text is returned, cut.
  KvtrEmu_FailCall("ExpandEnvironmentStringsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  char raw[6];
  ASSERT_TRUE(key.GetString("expand", raw, sizeof raw));
  EXPECT_STREQ("%wind", raw);
#endif
}

TEST_F(RegistryObject, MultiStringsRoundTripByteForByte) {
  // Entries of every length, one far past 511 characters, and an empty one
  // in the middle: read and written back, the bytes are the same.
  WString stored;
  for (const WString& entry : {WString(W("1")), WString(W("short")), WString(2000, 'x'), WString(), WString(W("z"))}) {
    stored += entry;
    stored.push_back(0);
  }
  stored.push_back(0);
  SetRaw("multi", W("List"), REG_MULTI_SZ, Wide(stored));
  Registry key(HKEY_CURRENT_USER, Key("multi").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(true));
  std::vector<WString> list{W("before")};
  ASSERT_TRUE(key.GetMultiString(W("List"), list));
  ASSERT_EQ(6u, list.size());
  EXPECT_EQ(WString(W("before")), list[0]);
  EXPECT_EQ(2000u, list[3].size());
  EXPECT_TRUE(list[4].empty());
  list.erase(list.begin());
  ASSERT_TRUE(key.SetMultiString(W("Copy"), list));
  EXPECT_EQ(Wide(stored), GetRaw("multi", W("Copy")));
}

TEST_F(RegistryObject, MultiStringPaddingIsNotAnEntry) {
  // Stored units (0 is a terminator) and the entries a read gives: zeros
  // after the last entry are the terminator and padding; an empty entry in
  // the middle stays.
  struct Case {
    WString stored;
    std::vector<WString> entries;
  };
  const WString z(1, 0);
  const Case cases[] = {
      {W("a") + z + W("b") + z + z, {W("a"), W("b")}},
      {W("a") + z + W("b") + z + z + z + z + z, {W("a"), W("b")}},
      {W("a") + z + z + W("b") + z + z + z + z, {W("a"), W(""), W("b")}},
      {W("a") + z + W("b"), {W("a"), W("b")}},
      {z + z + z + z, {}},
      {z, {}},
  };
  MakeKey("padded");
  Registry key(HKEY_CURRENT_USER, Key("padded").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(true));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stored.size() << " units");
    SetRaw("padded", W("List"), REG_MULTI_SZ, Wide(c.stored));
    std::vector<WString> list;
    ASSERT_TRUE(key.GetMultiString(W("List"), list));
    EXPECT_EQ(c.entries, list);
  }
}

TEST_F(RegistryObject, MultiStringWritesHaveTheExpectedBytes) {
  MakeKey("write");
  Registry key(HKEY_CURRENT_USER, Key("write").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(true));
  ASSERT_TRUE(key.SetMultiString(W("Two"), {W("x"), W("yz")}));
  EXPECT_EQ((Bytes{'x', 0, 0, 0, 'y', 0, 'z', 0, 0, 0, 0, 0}), GetRaw("write", W("Two")));
  ASSERT_TRUE(key.SetMultiString(W("None"), {}));
  EXPECT_EQ((Bytes{0, 0}), GetRaw("write", W("None")));
}

TEST_F(RegistryObject, KeyNamesArePathTails) {
  EXPECT_STREQ("C", Registry(HKEY_CURRENT_USER, "A\\B\\C", Registry::kNoNameCache).GetKeyName());
  EXPECT_STREQ("Single", Registry(HKEY_CURRENT_USER, "Single", Registry::kNoNameCache).GetKeyName());
  EXPECT_EQ(nullptr, Registry(HKEY_CURRENT_USER, "", Registry::kNoNameCache).GetKeyName());
}

TEST_F(RegistryObject, SubkeyEnumerationJoinsAndCutsPaths) {
  MakeKey("parent\\child");
  Registry key(HKEY_CURRENT_USER, Key("parent").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  char full[5];
  std::memset(full, '#', sizeof full);
  EXPECT_TRUE(key.EnumSubKey(0, full, sizeof full, nullptr, 0));
  EXPECT_EQ(0, std::memcmp(Key("parent").c_str(), full, 4));
  EXPECT_EQ(0, full[4]);
  EXPECT_FALSE(key.EnumSubKey(0, static_cast<char*>(nullptr), 5, nullptr, 0));
  EXPECT_FALSE(key.EnumSubKey(0, full, 0, nullptr, 0));

  char wholePath[300], name[16];
  ASSERT_TRUE(key.EnumSubKey(0, wholePath, sizeof wholePath, name, sizeof name));
  EXPECT_EQ(Key("parent\\child"), wholePath);
  EXPECT_STREQ("child", name);
  WCHAR wideName[16];
  ASSERT_TRUE(key.EnumSubKey(0, static_cast<WCHAR*>(nullptr), 0, wideName, 16));
  EXPECT_EQ(WString(W("child")), WString(wideName));
  EXPECT_FALSE(key.EnumSubKey(1, wholePath, sizeof wholePath, name, sizeof name));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.lastError());

  Registry child(Registry::kNoNameCache);
  ASSERT_TRUE(key.OpenSubKey(0, child));
  EXPECT_EQ(Key("parent\\child"), child.GetPath());
  EXPECT_TRUE(child.isOpen());
}

TEST_F(RegistryObject, SubkeysWhosePathWouldBeCutAreNotOpened) {
  if (test::WineDiffers("narrow registry paths are limited to 255 characters")) {
    GTEST_SKIP() << "Wine cannot open the 260-character path this needs";
  }
  const std::string deep = std::string(120, 'a') + "\\" + std::string(120, 'b');
  MakeKey(deep + "\\leaf");
  Registry key(HKEY_CURRENT_USER, Key(deep).c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  Registry child(Registry::kNoNameCache);
  EXPECT_FALSE(key.OpenSubKey(0, child));
  EXPECT_FALSE(child.isOpen());
}

TEST_F(RegistryObject, ValueNamesAndCounts) {
  SetRaw("values", W("first"), REG_DWORD, {1, 0, 0, 0});
  MakeKey("values\\sub");
  Registry key(HKEY_CURRENT_USER, Key("values").c_str(), Registry::kNoNameCache);
  ASSERT_TRUE(key.Open(false));
  DWORD values = 9, subKeys = 9, size = 0;
  ASSERT_TRUE(key.GetValueCount(&values));
  ASSERT_TRUE(key.GetSubKeyCount(&subKeys));
  EXPECT_EQ(1u, values);
  EXPECT_EQ(1u, subKeys);
  char name[16];
  ASSERT_TRUE(key.EnumValueName(0, name, sizeof name));
  EXPECT_STREQ("first", name);
  ASSERT_TRUE(key.GetValueSize(W("first"), &size));
  EXPECT_EQ(4u, size);
}

}  // namespace
}  // namespace kvtr::registry
