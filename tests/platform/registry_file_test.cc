// Importing and exporting .reg files (Linux only: the emulated registry's
// own file format).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

class RegFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = std::string(KvtrEmu_Prefix()) + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Import(const std::string& bytes, std::string* error = nullptr) {
    char message[256] = {};
    const bool ok = KvtrEmu_ImportRegFile(Write("in.reg", bytes).c_str(), message, sizeof message);
    if (error) *error = message;
    return ok;
  }
  std::string Export(HKEY root, const char* key) {
    const std::string path = std::string(KvtrEmu_Prefix()) + "/out.reg";
    EXPECT_TRUE(KvtrEmu_ExportRegFile(path.c_str(), root, key));
    return Read(path);
  }
  TestMachine machine_;
};

TEST_F(RegFiles, RegeditsUtf16FilesWithContinuedHexLinesImport) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvtr Import]\r\n"
      "@=\"default\"\r\n"
      "\"List\"=hex(7):61,00,00,00,\\\r\n  62,00,00,00,00,00\r\n"
      "\"Count\"=dword:00000010\r\n"
      "; a comment\r\n"
      "[HKEY_CLASSES_ROOT\\Kvtr.Class]\r\n"
      "\"x\"=hex:01,02\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  std::string error;
  ASSERT_TRUE(Import(utf16, &error)) << error;

  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kvtr Import", 0, KEY_READ, &key));
  BYTE data[32];
  DWORD size = sizeof data, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("List"), nullptr, &type, data, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(10u, size);
  size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, W("Count"), nullptr, &type, data, &size));
  EXPECT_EQ(16, data[0]);
  size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, nullptr, nullptr, &type, data, &size));
  EXPECT_STREQ("default", reinterpret_cast<char*>(data));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Kvtr.Class", 0, KEY_READ, &key));
  RegCloseKey(key);
}

TEST_F(RegFiles, RemovalLinesDeleteTreesAndValues) {
  ASSERT_TRUE(Import("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Gone\\Deep]\n"
                     "[HKEY_CURRENT_USER\\Software\\Stay]\n\"a\"=dword:00000001\n\"b\"=dword:00000002\n"));
  ASSERT_TRUE(Import("Windows Registry Editor Version 5.00\n\n[-HKEY_CURRENT_USER\\Software\\Gone]\n"
                     "[HKEY_CURRENT_USER\\Software\\Stay]\n\"a\"=-\n"));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Gone", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Stay", 0, KEY_READ, &key));
  DWORD size = 4;
  BYTE data[4];
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "a", nullptr, nullptr, data, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "b", nullptr, nullptr, data, &size));
  RegCloseKey(key);
}

TEST_F(RegFiles, BadFilesNameTheirFirstBadLineAndKeepWhatCameBefore) {
  std::string error;
  EXPECT_FALSE(Import("not a registry file\n", &error));
  EXPECT_NE(std::string::npos, error.find("line 1"));
  EXPECT_FALSE(Import("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Partly]\n"
                      "\"ok\"=dword:00000001\n\"bad\"=dword:xyz\n",
                      &error));
  EXPECT_NE(std::string::npos, error.find("line 5"));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Partly", 0, KEY_READ, &key));
  DWORD size = 4;
  BYTE data[4];
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "ok", nullptr, nullptr, data, &size));
  RegCloseKey(key);
  EXPECT_FALSE(Import("Windows Registry Editor Version 5.00\n\n[HKEY_NOWHERE\\x]\n", &error));
}

TEST_F(RegFiles, ExportWritesOneKeyTreeInRegeditForm) {
  ASSERT_TRUE(Import("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported\\Child]\n"
                     "\"s\"=\"a \\\"quoted\\\" \\\\ text\"\n\"d\"=dword:0000beef\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported]\n\"b\"=hex:00,ff\n"));
  EXPECT_EQ(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported]\n\"b\"=hex:00,ff\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported\\Child]\n\"s\"=\"a \\\"quoted\\\" \\\\ text\"\n\"d\"=dword:0000beef\n",
      Export(HKEY_LOCAL_MACHINE, "SOFTWARE\\Exported"));
}

TEST_F(RegFiles, LongHexValuesWrapAndReadBack) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wide", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  BYTE data[300];
  for (int i = 0; i < 300; ++i) data[i] = static_cast<BYTE>(i);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "blob", 0, REG_BINARY, data, sizeof data));
  RegCloseKey(key);
  const std::string text = Export(HKEY_CURRENT_USER, "Software\\Wide");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wide"));
  std::string error;
  ASSERT_TRUE(Import(text, &error)) << error;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wide", 0, KEY_READ, &key));
  BYTE back[300];
  DWORD size = sizeof back;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "blob", nullptr, nullptr, back, &size));
  EXPECT_EQ(0, std::memcmp(data, back, sizeof data));
  RegCloseKey(key);
}

// Raw value bytes of a string of UTF-16 units (terminators included).
std::vector<BYTE> Units(std::initializer_list<unsigned> units) {
  std::vector<BYTE> bytes;
  for (unsigned unit : units) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

struct StoredValue {
  WString name;
  DWORD type;
  std::vector<BYTE> data;
};

void SetValues(HKEY key, const std::vector<StoredValue>& values) {
  for (const StoredValue& v : values) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                                            static_cast<DWORD>(v.data.size())));
  }
}

void ExpectValues(HKEY key, const std::vector<StoredValue>& values) {
  for (const StoredValue& v : values) {
    std::vector<BYTE> data(v.data.size() + 16);
    DWORD size = static_cast<DWORD>(data.size()), type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, v.name.c_str(), nullptr, &type, data.data(), &size))
        << NarrowAscii(v.name);
    EXPECT_EQ(v.type, type);
    data.resize(size);
    EXPECT_EQ(v.data, data) << NarrowAscii(v.name);
  }
}

TEST_F(RegFiles, LoneSurrogatesInStringDataSurviveSaveAndReload) {
  const std::vector<StoredValue> values = {
      {W("sz"), REG_SZ, Units({'a', 0xD800, 'b', 0})},
      {W("sz-low-last"), REG_SZ, Units({'a', 0xDFFF, 0})},
      {W("sz-pair-then-high"), REG_SZ, Units({0xD83D, 0xDE00, 0xDBFF, 0})},
      {W("expand"), REG_EXPAND_SZ, Units({'%', 'x', '%', 0xDC00, 0})},
      {W("multi"), REG_MULTI_SZ, Units({'a', 0, 0xD83D, 0, 0})},
      {W("plain"), REG_SZ, Units({'c', 'a', 'f', 0xE9, 0xD83D, 0xDE00, 0})},
  };
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, W("Software\\Lone"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  SetValues(key, values);
  RegCloseKey(key);

  ASSERT_TRUE(KvtrEmu_CompactRegistry());  // the changes into the snapshot
  const std::string file = Read(std::string(KvtrEmu_Prefix()) + "/registry.reg");
  EXPECT_EQ(0u, file.find("Windows Registry Editor Version 5.00\n"));  // still UTF-8
  EXPECT_NE(std::string::npos, file.find("\"sz\"=hex(1):61,00,00,d8,62,00,00,00\n"));
  EXPECT_NE(std::string::npos, file.find("\"plain\"=\"caf\xC3\xA9\xF0\x9F\x98\x80\"\n"));

  KvtrEmu_Reset();  // the registry is read again from the file
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, W("Software\\Lone"), 0, KEY_READ, &key));
  ExpectValues(key, values);
  RegCloseKey(key);
}

TEST_F(RegFiles, LoneSurrogatesInNamesMakeTheFileUtf16) {
  const wchar keyName[] = {'L', 'o', 'n', 'e', 0xDC01, 'K', 'e', 'y', 0};
  const wchar valueName[] = {'v', 0xD800, 0};
  const std::vector<StoredValue> values = {
      {valueName, REG_SZ, Units({'x', 0xD800, 0})},
      {W("text"), REG_SZ, Units({'c', 'a', 'f', 0xE9, '"', '\\', 0})},
      {W("list"), REG_MULTI_SZ, Units({'a', 0, 'b', 0, 0})},
      {W("large"), REG_BINARY, std::vector<BYTE>(400000, 0xA5)},  // the file is written in several pieces
  };
  HKEY parent = nullptr, key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, W("Software"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &parent, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(parent, keyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  SetValues(key, values);
  RegCloseKey(key);

  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  const std::string path = std::string(KvtrEmu_Prefix()) + "/registry.reg";
  const std::string file = Read(path);
  const std::string header = "\xFF\xFEW\0i\0n\0d\0o\0w\0s\0";
  EXPECT_EQ(0u, file.find(header));
  EXPECT_NE(std::string::npos, file.find(std::string({'5', 0, '.', 0, '0', 0, '0', 0, '\r', 0, '\n', 0})));
  ASSERT_EQ(0u, file.size() % 2);
  EXPECT_EQ(std::string::npos, file.find("\xFF\xFE", 2));  // one byte order mark
  int lineFeeds = 0;
  for (size_t i = 2; i + 1 < file.size(); i += 2) {
    if (file[i] != '\n' || file[i + 1] != 0) continue;
    ++lineFeeds;
    EXPECT_EQ(std::string("\r\0", 2), file.substr(i - 2, 2)) << "line feed at byte " << i;
  }
  EXPECT_GT(lineFeeds, 5);

  KvtrEmu_Reset();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(parent, keyName, 0, KEY_READ, &key));
  ExpectValues(key, values);
  RegCloseKey(key);
  wchar found[64];
  bool listed = false;
  for (DWORD i = 0; RegEnumKeyW(parent, i, found, 64) == ERROR_SUCCESS; ++i) listed |= WString(found) == keyName;
  EXPECT_TRUE(listed);

  // Without such a name the file is UTF-8 again.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, keyName));
  RegCloseKey(parent);
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  EXPECT_EQ(0u, Read(path).find("Windows Registry Editor Version 5.00\n"));
}

std::string DeepPath(const char* root, int levels) {
  std::string path = root;
  for (int i = 0; i < levels; ++i) path += "\\k";
  return path;
}

TEST_F(RegFiles, KeyPathsDeeperThan512LevelsAreRefusedByLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  std::string error;
  // HKEY_CLASSES_ROOT lies two levels below HKEY_LOCAL_MACHINE.
  const struct {
    std::string section;
    bool accepted;
  } cases[] = {
      {DeepPath("HKEY_CURRENT_USER", 512), true},
      {DeepPath("HKEY_CURRENT_USER", 513), false},
      {DeepPath("HKEY_CLASSES_ROOT", 510), true},
      {DeepPath("HKEY_CLASSES_ROOT", 511), false},
      {DeepPath("HKEY_USERS", 20000), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.accepted, Import(header + "[" + c.section + "]\n\"v\"=dword:00000001\n", &error))
        << c.section.size();
    if (!c.accepted) {
      EXPECT_NE(std::string::npos, error.find("line 3: key path deeper than 512 levels")) << error;
    }
  }
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_USERS, "k", 0, KEY_READ, &key));

  // The deepest keys save, load and delete like any other.
  KvtrEmu_Reset();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, DeepPath("k", 511).c_str(), 0, KEY_READ, &key));
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(1u, value);
  RegCloseKey(key);
  ASSERT_TRUE(Import(header + "[-HKEY_CURRENT_USER\\k]\n[-HKEY_CLASSES_ROOT\\k]\n", &error)) << error;
  KvtrEmu_Reset();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "k", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CLASSES_ROOT, "k", 0, KEY_READ, &key));
}

}  // namespace
}  // namespace kvtr::test
