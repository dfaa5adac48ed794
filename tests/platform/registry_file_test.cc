// Importing and exporting .reg files (Linux only: the emulated registry's
// own file format).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace kvtr::test
