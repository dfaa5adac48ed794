// Registry values: types, sizes, ERROR_MORE_DATA, names, default values,
// A/W conversions and REG_MULTI_SZ edge cases, identical on the POSIX layer
// and under Wine (apart from the documented enumeration order).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

using Bytes = std::vector<BYTE>;

Bytes WideBytes(const WString& text) {
  Bytes out(text.size() * 2);
  std::memcpy(out.data(), text.data(), out.size());
  return out;
}

class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key_));
  }
  void TearDown() override { RegCloseKey(key_); }

  void Set(const WCHAR* name, DWORD type, const Bytes& data) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
  }
  Bytes Get(const WCHAR* name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, name, nullptr, type, nullptr, &size));
    Bytes data(size + 1, 0xAB);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, name, nullptr, type, data.data(), &size));
    EXPECT_EQ(0xAB, data[size]) << "wrote past the size it reported";
    data.resize(size);
    return data;
  }

  TestMachine machine_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryValues, EveryTypeKeepsItsBytes) {
  struct Case {
    const WCHAR* name;
    DWORD type;
    Bytes data;
  };
  const Case cases[] = {
      {W("sz"), REG_SZ, WideBytes(WString(W("text")) + WString(1, 0))},
      {W("expand"), REG_EXPAND_SZ, WideBytes(WString(W("%windir%\\x")) + WString(1, 0))},
      {W("dword"), REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {W("binary"), REG_BINARY, {0, 1, 2, 0xFF}},
      {W("qword"), REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {W("none"), REG_NONE, {}},
      {W("odd-sized-sz"), REG_SZ, {'a', 0, 'b'}},
  };
  for (const Case& c : cases) Set(c.name, c.type, c.data);
  // A string whose count leaves out its terminator is stored as counted...
  const Bytes followed = WideBytes(W("abcZ"));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("unterminated"), 0, REG_SZ, followed.data(), 6));
  EXPECT_EQ(WideBytes(W("abc")), Get(W("unterminated")));
  // ...unless a terminator follows it in memory: Windows then counts it,
  // reading past the counted bytes. The layer never reads past a caller's
  // buffer and stores what was counted.
  const Bytes terminated = WideBytes(WString(W("abc")) + WString(1, 0));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("forgot"), 0, REG_SZ, terminated.data(), 6));
  const char narrow[] = "xyz";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "forgot-narrow", 0, REG_SZ, reinterpret_cast<const BYTE*>(narrow), 3));
  if (LayerDiffers("a string size that leaves out a following terminator is stored as counted")) {
    EXPECT_EQ(WideBytes(W("abc")), Get(W("forgot")));
    EXPECT_EQ(WideBytes(W("xyz")), Get(W("forgot-narrow")));
  } else {
    EXPECT_EQ(terminated, Get(W("forgot")));
    EXPECT_EQ(WideBytes(WString(W("xyz")) + WString(1, 0)), Get(W("forgot-narrow")));
  }

  for (const Case& c : cases) {
    DWORD type = 0xdeadbeef;
    EXPECT_EQ(c.data, Get(c.name, &type)) << NarrowAscii(c.name);
    EXPECT_EQ(c.type, type) << NarrowAscii(c.name);
  }
}

TEST_F(RegistryValues, MultiStringsKeepEveryByteOfUnusualLayouts) {
  // Raw layouts a reader meets: regular, empty entries, missing terminators,
  // an odd byte count and the single-terminator empty list.
  // Each is passed with a non-zero unit after it, so that nothing is added.
  const std::vector<Bytes> layouts = {
      WideBytes(WString(W("a\0bc\0\0"), 6)),   WideBytes(WString(W("a\0\0b\0\0"), 6)),
      WideBytes(WString(W("a\0b"), 3)),        WideBytes(WString(W("a\0b\0"), 4)),
      Bytes{'a', 0, 0, 0, 'b'},                WideBytes(WString(1, 0)),
      Bytes{},
  };
  for (size_t i = 0; i < layouts.size(); ++i) {
    Bytes padded = layouts[i];
    padded.insert(padded.end(), {'Z', 'Z'});
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("multi"), 0, REG_MULTI_SZ, padded.data(),
                                            static_cast<DWORD>(layouts[i].size())));
    DWORD type = 0;
    EXPECT_EQ(layouts[i], Get(W("multi"), &type)) << "layout " << i;
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  }
}

TEST_F(RegistryValues, SizeQueriesAndSmallBuffers) {
  Set(W("sz"), REG_SZ, WideBytes(WString(W("hello")) + WString(1, 0)));
  DWORD size = 0, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("sz"), nullptr, &type, nullptr, &size));
  EXPECT_EQ(12u, size);

  BYTE small[5];
  std::memset(small, '#', sizeof small);
  size = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key_, W("sz"), nullptr, &type, small, &size));
  EXPECT_EQ(12u, size);
  EXPECT_EQ('#', small[0]) << "a failed read must not write";

  BYTE buffer[16];
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key_, W("sz"), nullptr, &type, buffer, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, W("missing"), nullptr, &type, nullptr, &size));
}

TEST_F(RegistryValues, NarrowReadsConvertStringTypesOnly) {
  Set(W("sz"), REG_SZ, WideBytes(WString(W("hello")) + WString(1, 0)));
  Set(W("multi"), REG_MULTI_SZ, WideBytes(WString(W("ab\0c\0\0"), 6)));
  Set(W("bin"), REG_BINARY, {'h', 0, 'i', 0});

  DWORD size = 0, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "sz", nullptr, &type, nullptr, &size));
  EXPECT_EQ(6u, size);
  char text[16];
  size = 5;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key_, "sz", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(6u, size);
  size = sizeof text;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "sz", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_STREQ("hello", text);

  size = sizeof text;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "multi", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(0, std::memcmp("ab\0c\0\0", text, 6));

  size = sizeof text;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "bin", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(4u, size);
}

TEST_F(RegistryValues, NarrowWritesStoreUtf16Strings) {
  const char text[] = "abc";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "narrow", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4));
  EXPECT_EQ(WideBytes(WString(W("abc")) + WString(1, 0)), Get(W("narrow")));
}

TEST_F(RegistryValues, NamesIgnoreCaseAndTheDefaultValueHasTwoSpellings) {
  Set(W("Name"), REG_DWORD, {1, 0, 0, 0});
  Set(W("NAME"), REG_DWORD, {2, 0, 0, 0});
  EXPECT_EQ((Bytes{2, 0, 0, 0}), Get(W("name")));
  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, values);

  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, nullptr, 0, REG_DWORD, Bytes{7, 0, 0, 0}.data(), 4));
  EXPECT_EQ((Bytes{7, 0, 0, 0}), Get(W("")));
}

TEST_F(RegistryValues, NullDataIsRefusedUnlessEmpty) {
  if (!EmulatorDiffers("qemu writes the good part of a writev whose later buffer is a bad pointer, where Linux "
                       "fails the call: Wine's server request is cut short and Wine ends the process")) {
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(key_, "nd", 0, REG_BINARY, nullptr, 4));
  }
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "nd", 0, REG_BINARY, nullptr, 0));
  EXPECT_TRUE(Get(W("nd")).empty());
}

TEST_F(RegistryValues, DeletingValues) {
  Set(W("gone"), REG_DWORD, {1, 0, 0, 0});
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key_, W("GONE")));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key_, "gone"));
}

TEST_F(RegistryValues, EnumerationNamesValuesAndReportsSmallBuffers) {
  Set(W("zeta"), REG_DWORD, {1, 0, 0, 0});
  Set(W("alpha"), REG_BINARY, {1, 2, 3});
  Set(W("mid"), REG_SZ, WideBytes(WString(W("x")) + WString(1, 0)));

  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD nameSize = sizeof name, type = 0, dataSize = 0;
    BYTE data[32];
    dataSize = sizeof data;
    const LONG status = RegEnumValueA(key_, i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(std::strlen(name), nameSize);
    names.push_back(name);
  }
  if (WineDiffers("RegEnumValue returns values sorted by name")) {
    EXPECT_EQ((std::vector<std::string>{"alpha", "mid", "zeta"}), names);
  } else {
    EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid"}), names);
  }

  // Too little room for the data: ERROR_MORE_DATA with the size it needs.
  DWORD index = 0;
  for (; index < 3; ++index) {
    char name[32];
    DWORD nameSize = sizeof name;
    if (RegEnumValueA(key_, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        std::string(name) == "alpha") {
      break;
    }
  }
  char name[32];
  DWORD nameSize = sizeof name, dataSize = 1;
  BYTE data[4];
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key_, index, name, &nameSize, nullptr, nullptr, data, &dataSize));
  EXPECT_EQ(3u, dataSize);
  // Too little room for the name.
  nameSize = 3;
  dataSize = sizeof data;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key_, index, name, &nameSize, nullptr, nullptr, data, &dataSize));
}

TEST_F(RegistryValues, LongMultiStringEntriesSurviveWhole) {
  WString list;
  const WString longEntry(3000, 'L');
  list += W("short");
  list.push_back(0);
  list += longEntry;
  list.push_back(0);
  list.push_back(0);
  Set(W("long"), REG_MULTI_SZ, WideBytes(list));
  EXPECT_EQ(WideBytes(list), Get(W("long")));
}

}  // namespace
}  // namespace kvtr::test
