// The installer's path and file functions.
#include "common_utils/paths/path_functions.h"

#include <gtest/gtest.h>

#include "support/pe_image.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::installer {
namespace {

using test::TestMachine;

class PathFunctions : public ::testing::Test {
 protected:
  WString In(const WCHAR* name) const { return machine_.ScratchFolder() + W("\\") + name; }
  TestMachine machine_;
};

TEST_F(PathFunctions, ExistenceTestsTellFilesFromDirectories) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("file.mof")), "x"));
  EXPECT_TRUE(FileExists(In(W("file.mof")).c_str()));
  EXPECT_FALSE(FileExists(machine_.ScratchFolder().c_str()));
  EXPECT_FALSE(FileExists(In(W("missing.mof")).c_str()));
  EXPECT_FALSE(FileExists(W("")));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_TRUE(FileExistsA(NarrowAscii(In(W("file.mof"))).c_str()));
  EXPECT_FALSE(FileExistsA(NarrowAscii(machine_.ScratchFolder()).c_str()));
  EXPECT_FALSE(FileExistsA(nullptr));

  EXPECT_TRUE(DirectoryExists(machine_.ScratchFolder().c_str()));
  EXPECT_FALSE(DirectoryExists(In(W("file.mof")).c_str()));
  EXPECT_FALSE(DirectoryExists(In(W("missing")).c_str()));
  EXPECT_FALSE(DirectoryExists(W("")));
}

#ifndef _WIN32
// Linux only: the failing attribute queries are made by fault injection.
TEST_F(PathFunctions, LockedOrBusyObjectsCountAsExisting) {
  const WString missing = In(W("missing"));
  struct Case {
    DWORD error;
    bool file;
    bool directory;
  };
  const Case cases[] = {
      {ERROR_SHARING_VIOLATION, true, true}, {ERROR_LOCK_VIOLATION, true, false},
      {ERROR_SHARING_BUFFER_EXCEEDED, true, true}, {ERROR_TOO_MANY_NAMES, false, true},
      {ERROR_TOO_MANY_SESS, false, true}, {ERROR_ACCESS_DENIED, false, false},
  };
  for (const Case& c : cases) {
    KvtrEmu_FailCall("GetFileAttributesW", 1, c.error);
    EXPECT_EQ(c.file, FileExists(missing.c_str())) << c.error;
    KvtrEmu_FailCall("GetFileAttributesW", 1, c.error);
    EXPECT_EQ(c.directory, DirectoryExists(missing.c_str())) << c.error;
  }
}
#endif

TEST(PathText, DirectoryOfAPathKeepsItsSeparator) {
  struct Case {
    const WCHAR* path;
    const WCHAR* directory;
  };
  const Case cases[] = {
      {W("C:\\Setup\\setup.exe"), W("C:\\Setup\\")},
      {W("\\\\server\\share\\setup.exe"), W("\\\\server\\share\\")},
      {W("setup.exe"), W("")},
      {W("C:setup.exe"), W("C:")},
      {W("C:/Setup/setup.exe"), W("C:/Setup/")},
      {W("/usr/bin/kvtr-setup"), W("/usr/bin/")},
      {W(""), W("")},
  };
  for (const Case& c : cases) EXPECT_EQ(WString(c.directory), GetDirectoryOfPath(c.path)) << NarrowAscii(c.path);
  EXPECT_EQ(WString(), GetDirectoryOfPath(nullptr));
  // A directory part beyond the C runtime's 255 characters comes back whole.
  const WString deep = W("C:\\") + WString(300, 'd') + W("\\");
  EXPECT_EQ(deep, GetDirectoryOfPath((deep + W("setup.exe")).c_str()));
}

TEST(PathText, OnlyABackslashCountsAsTrailingSeparator) {
  EXPECT_EQ(WString(W("C:\\Setup\\")), EnsureTrailingBackslash(W("C:\\Setup")));
  EXPECT_EQ(WString(W("C:\\Setup\\")), EnsureTrailingBackslash(W("C:\\Setup\\")));
  EXPECT_EQ(WString(W("C:/Setup/\\")), EnsureTrailingBackslash(W("C:/Setup/")));
  EXPECT_EQ(WString(), EnsureTrailingBackslash(WString()));
}

TEST(ExpandFullPathTest, ExpandsVariablesWithoutTheCurrentDirectory) {
  WCHAR out[kPathUnits];
  ASSERT_TRUE(ExpandFullPath(W("%windir%\\system32\\x.dll"), out, kPathUnits));
  WString expected(kPathUnits, 0);
  expected.resize(ExpandEnvironmentStringsW(W("%windir%\\system32\\x.dll"), expected.data(), kPathUnits) - 1);
  EXPECT_EQ(expected, WString(out));
  ASSERT_TRUE(ExpandFullPath(W("C:\\plain\\path.dll"), out, kPathUnits));
  EXPECT_EQ(WString(W("C:\\plain\\path.dll")), WString(out));
}

TEST(ExpandFullPathTest, DotPathsBecomeAbsolute) {
  WCHAR current[kPathUnits];
  ASSERT_GT(GetFullPathNameW(W("x.dll"), kPathUnits, current, nullptr), 0u);
  WCHAR out[kPathUnits];
  ASSERT_TRUE(ExpandFullPath(W(".\\x.dll"), out, kPathUnits));
  EXPECT_EQ(WString(current), WString(out));
}

TEST(ExpandFullPathTest, FailuresLeaveAnEmptyText) {
  WCHAR out[kPathUnits] = {'#', 0};
  EXPECT_FALSE(ExpandFullPath(W(""), out, kPathUnits));
  EXPECT_EQ(0, out[0]);
  out[0] = '#';
  EXPECT_FALSE(ExpandFullPath(nullptr, out, kPathUnits));
  EXPECT_EQ(0, out[0]);
  EXPECT_FALSE(ExpandFullPath(W("x"), nullptr, kPathUnits));
  out[0] = '#';
  EXPECT_FALSE(ExpandFullPath(W("x"), out, 0));
  EXPECT_EQ(WCHAR('#'), out[0]) << "no room: nothing written";
  // A full path that does not fit is a failure, not an untouched buffer.
  WCHAR small[4] = {'#', '#', '#', '#'};
  EXPECT_FALSE(ExpandFullPath(W(".\\x.dll"), small, 4));
  EXPECT_EQ(0, small[0]);
  // An expansion beyond the working buffer would name another file.
  const WString longValue(300, 'v');
#ifdef _WIN32
  SetEnvironmentVariableW(W("KVTR_LONG_VALUE"), longValue.c_str());
#else
  setenv("KVTR_LONG_VALUE", NarrowAscii(longValue).c_str(), 1);
#endif
  out[0] = '#';
  EXPECT_FALSE(ExpandFullPath(W("%KVTR_LONG_VALUE%\\x.dll"), out, kPathUnits));
  EXPECT_EQ(0, out[0]);
}

TEST_F(PathFunctions, FileVersionsComeFromTheVersionResource) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("versioned.dll")), test::VersionedModuleImage(2, 3, 40, 5)));
  DWORD major = 9, minor = 9, build = 9, revision = 9;
  ASSERT_TRUE(GetFileVersionNumbers(In(W("versioned.dll")).c_str(), major, minor, build, revision));
  EXPECT_EQ(2u, major);
  EXPECT_EQ(3u, minor);
  EXPECT_EQ(40u, build);
  EXPECT_EQ(5u, revision);

  ASSERT_TRUE(TestMachine::WriteFile(In(W("plain.dll")), test::UnversionedModuleImage()));
  ASSERT_TRUE(TestMachine::WriteFile(In(W("text.txt")), "not a module"));
  for (const WCHAR* name : {W("plain.dll"), W("text.txt"), W("missing.dll")}) {
    major = minor = build = revision = 9;
    EXPECT_FALSE(GetFileVersionNumbers(In(name).c_str(), major, minor, build, revision)) << NarrowAscii(name);
    EXPECT_EQ(0u, major + minor + build + revision) << NarrowAscii(name);
  }
}

TEST_F(PathFunctions, ModuleVersionsFallBackToTheFile) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("notloaded.dll")), test::VersionedModuleImage(1, 2, 3, 4)));
  DWORD major = 0, minor = 0, build = 0, revision = 0;
  ASSERT_TRUE(GetModuleVersionNumbers(In(W("notloaded.dll")).c_str(), major, minor, build, revision));
  EXPECT_EQ(1u, major);
  EXPECT_EQ(4u, revision);
}

}  // namespace
}  // namespace kvtr::installer
