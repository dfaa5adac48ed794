// The emulated machine itself (Linux only: these tests use the emulation
// control, which a real Windows or Wine machine does not have): the
// registry's persistence, access denial, fault injection, the code page
// switch and the mapping of drive paths into the prefix.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

class Emulation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &key_));
  }
  void TearDown() override { RegCloseKey(key_); }
  std::string RegistryFile() const { return std::string(KvtrEmu_Prefix()) + "/registry.reg"; }
  std::string JournalFile() const { return std::string(KvtrEmu_Prefix()) + "/registry.journal"; }

  TestMachine machine_;
  HKEY key_ = nullptr;
};

TEST_F(Emulation, EveryChangeReachesTheJournalAndSurvivesAReload) {
  const BYTE multi[] = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
  const BYTE odd[] = {1, 2, 3};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("multi"), 0, REG_MULTI_SZ, multi, sizeof multi));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("odd \"name\" \\"), 0, REG_SZ, odd, sizeof odd));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\x \"q\""), 9));
  const std::string text = ReadHostFile(JournalFile());
  EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n"));
  EXPECT_NE(std::string::npos, text.find("\"text\"=\"C:\\\\x \\\"q\\\"\"\n"));
  EXPECT_NE(std::string::npos, text.find("\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"));

  // A fresh load from the file gives every byte back; the open handle
  // follows its key into the reloaded tree.
  ASSERT_TRUE(KvtrEmu_UsePrefix(KvtrEmu_Prefix()));
  BYTE data[16];
  DWORD size = sizeof data, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("multi"), nullptr, &type, data, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(0, std::memcmp(multi, data, sizeof multi));
  size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("odd \"name\" \\"), nullptr, &type, data, &size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, std::memcmp(odd, data, sizeof odd));
}

TEST_F(Emulation, AChangeByAnotherProcessIsSeen) {
  const std::string path = "HKEY_CURRENT_USER\\" + machine_.ScratchKey();
  const std::string file = std::string(KvtrEmu_Prefix()) + "/change.reg";
  std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n[" << path << "]\n\"added\"=dword:0000002a\n";
  // Write the registry file the way another process would.
  char error[256] = {};
  ASSERT_TRUE(KvtrEmu_ImportRegFile(file.c_str(), error, sizeof error)) << error;
  ASSERT_TRUE(KvtrEmu_CompactRegistry());
  std::string snapshot = ReadHostFile(RegistryFile());
  const BYTE one[] = {1, 0, 0, 0};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("local"), 0, REG_DWORD, one, 4));
  // The other process's snapshot has a name of its own, which the journal
  // of "local" does not name.
  const size_t token = snapshot.find("; snapshot ");
  ASSERT_NE(std::string::npos, token);
  snapshot.insert(token + 11, "other-");
  std::ofstream(RegistryFile() + ".other") << snapshot;
  ASSERT_EQ(0, std::rename((RegistryFile() + ".other").c_str(), RegistryFile().c_str()));
  DWORD size = 4;
  BYTE data[4];
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, W("local"), nullptr, nullptr, data, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("added"), nullptr, nullptr, data, &size));
  EXPECT_EQ(42, data[0]);
}

TEST_F(Emulation, VolatileKeysAreNotWritten) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(key_, "fleeting", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
            RegCreateKeyExA(key, "lasting", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(std::string::npos, ReadHostFile(RegistryFile()).find("fleeting"));
}

TEST_F(Emulation, DeniedAccessRefusesOpeningAndDeleting) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_, "locked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  const std::string path = machine_.ScratchKey() + "\\locked";
  ASSERT_TRUE(KvtrEmu_DenyKeyAccess(HKEY_CURRENT_USER, path.c_str(), KEY_SET_VALUE | DELETE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(key_, "locked", 0, KEY_READ | KEY_WRITE, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key_, "locked", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key_, "locked"));
  KvtrEmu_Reset();
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "locked"));
}

TEST_F(Emulation, TheNthCallOfAServiceFailsOnce) {
  const BYTE one[] = {1, 0, 0, 0};
  KvtrEmu_FailCall("RegSetValueExW", 2, ERROR_CANTWRITE);
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("a"), 0, REG_DWORD, one, 4));
  EXPECT_EQ(ERROR_CANTWRITE, RegSetValueExW(key_, W("b"), 0, REG_DWORD, one, 4));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, W("c"), 0, REG_DWORD, one, 4));

  const unsigned before = KvtrEmu_CallCount("registry");
  KvtrEmu_FailCall("registry", 1, ERROR_ACCESS_DENIED);
  DWORD size = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(key_, W("a"), nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(before + 1, KvtrEmu_CallCount("registry"));

  KvtrEmu_FailCall("files", 1, ERROR_SHARING_VIOLATION);
  SetLastError(0);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\Windows")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\Windows")));
}

TEST_F(Emulation, TheAnsiCodePageCanBeSwitched) {
  EXPECT_EQ(65001u, GetACP());
  ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(1252));
  EXPECT_EQ(1252u, GetACP());
  WCHAR out[4];
  ASSERT_EQ(2, MultiByteToWideChar(CP_ACP, 0, "\x80", -1, out, 4));
  EXPECT_EQ(0x20AC, out[0]);
  // Narrow registry names and data use it too.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "caf\xE9", 0, REG_SZ, reinterpret_cast<const BYTE*>("\x80"), 2));
  DWORD size = sizeof out;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, W("caf\u00e9"), nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size));
  EXPECT_EQ(0x20AC, out[0]);
  EXPECT_FALSE(KvtrEmu_SetAnsiCodePage(932));
  KvtrEmu_Reset();
  EXPECT_EQ(65001u, GetACP());
}

TEST_F(Emulation, DrivePathsLiveInThePrefix) {
  char host[512];
  KvtrEmu_HostPath(W("C:\\Some\\..\\File.txt"), host, sizeof host);
  EXPECT_EQ(std::string(KvtrEmu_Prefix()) + "/drive_c/File.txt", host);
  // An existing name is found whatever its case.
  KvtrEmu_HostPath(W("c:\\WINDOWS\\system32"), host, sizeof host);
  EXPECT_EQ(std::string(KvtrEmu_Prefix()) + "/drive_c/Windows/System32", host);
  KvtrEmu_HostPath(W("/tmp/x"), host, sizeof host);
  EXPECT_STREQ("/tmp/x", host);
}

TEST_F(Emulation, TheExecutablesNameCanBeChosen) {
  KvtrEmu_SetModuleFileName(W("C:\\Setup\\setup.exe"));
  WCHAR path[MAX_PATH];
  ASSERT_EQ(18u, GetModuleFileNameW(nullptr, path, MAX_PATH));
  EXPECT_EQ(WString(W("C:\\Setup\\setup.exe")), WString(path));
  KvtrEmu_SetModuleFileName(nullptr);
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  EXPECT_NE(WString::npos, WString(path).find(W("platform_tests")));
}

}  // namespace
}  // namespace kvtr::test
