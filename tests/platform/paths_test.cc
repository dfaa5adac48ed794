// Paths as Windows code sees them: full path names, the current directory,
// module names, and the host's own paths on drive Z:.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "support/test_machine.h"

#ifndef _WIN32
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

WString CurrentDirectory() {
  WString text(GetCurrentDirectoryW(0, nullptr), 0);
  text.resize(GetCurrentDirectoryW(static_cast<DWORD>(text.size()), text.data()));
  return text;
}

// FILE_ATTRIBUTE_DIRECTORY for a folder, 0 for a file, -1 when missing.
int Kind(const WString& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? -1 : static_cast<int>(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A drive path in Windows form, as every name the system hands out is.
void ExpectWindowsForm(const WString& path) {
  EXPECT_EQ(WString(W(":\\")), path.substr(1, 2)) << NarrowAscii(path);
  EXPECT_EQ(WString::npos, path.find('/')) << NarrowAscii(path);
}

// The current directory is "<scratch>\parent\cwd" on drive C: on both
// platforms, and is put back when the test ends.
class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TestMachine::MakeFolder(cwd_));
    ASSERT_TRUE(SetCurrentDirectoryW(cwd_.c_str()));
  }
  void TearDown() override { SetCurrentDirectoryW(saved_.c_str()); }

  const WString saved_ = CurrentDirectory();
  TestMachine machine_;
  const WString parent_ = machine_.ScratchFolder() + W("\\parent");
  const WString cwd_ = parent_ + W("\\cwd");
};

TEST_F(Paths, FullPathsFollowWindowsRules) {
  enum Base { kNone, kCwd, kParent };
  struct Case {
    const WCHAR* path;
    Base base;
    const WCHAR* rest;      // the answer is base + rest
    const WCHAR* filePart;  // nullptr: none
  };
  const Case cases[] = {
      {W("x.txt"), kCwd, W("\\x.txt"), W("x.txt")},
      {W("."), kCwd, W(""), W("cwd")},
      {W(".\\"), kCwd, W("\\"), nullptr},
      {W(".."), kParent, W(""), W("parent")},
      {W("a\\.\\b\\..\\c"), kCwd, W("\\a\\c"), W("c")},
      {W("..\\..\\..\\..\\..\\..\\x"), kNone, W("C:\\x"), W("x")},
      // Root- and drive-relative.
      {W("\\"), kNone, W("C:\\"), nullptr},
      {W("\\x\\y"), kNone, W("C:\\x\\y"), W("y")},
      {W("c:x"), kCwd, W("\\x"), W("x")},
      {W("C:"), kCwd, W("\\"), nullptr},
      {W("D:x"), kNone, W("D:\\x"), W("x")},
      {W("c:\\A\\B"), kNone, W("c:\\A\\B"), W("B")},
      {W("C:\\a/b\\\\\\c/"), kNone, W("C:\\a\\b\\c\\"), nullptr},
      // The last component loses its trailing dots and spaces, the others
      // one trailing dot.
      {W("x.txt. . "), kCwd, W("\\x.txt"), W("x.txt")},
      {W("..."), kCwd, W("\\"), nullptr},
      {W("a..\\b"), kCwd, W("\\a.\\b"), W("b")},
      {W("x\\...\\y"), kCwd, W("\\x\\..\\y"), W("y")},
      {W("a \\b"), kCwd, W("\\a \\b"), W("b")},
      {W("dir.\\"), kCwd, W("\\dir\\"), nullptr},
      // \\server\share and the device namespace are roots.
      {W("\\\\server\\share"), kNone, W("\\\\server\\share"), W("share")},
      {W("\\\\server\\share\\..\\..\\x"), kNone, W("\\\\server\\share\\x"), W("x")},
      {W("\\\\server\\share\\a\\.."), kNone, W("\\\\server\\share\\"), nullptr},
      {W("//server/share/a."), kNone, W("\\\\server\\share\\a"), W("a")},
      {W("\\\\server"), kNone, W("\\\\server"), nullptr},
      {W("\\\\.\\..\\..\\x"), kNone, W("\\\\.\\x"), W("x")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(NarrowAscii(c.path));
    const WString expected = (c.base == kCwd ? cwd_ : c.base == kParent ? parent_ : WString()) + c.rest;
    WCHAR buffer[MAX_PATH];
    WCHAR* filePart = buffer + 1;
    SetLastError(kSentinel);
    const DWORD length = GetFullPathNameW(c.path, MAX_PATH, buffer, &filePart);
    ASSERT_EQ(expected.size(), length);
    EXPECT_EQ(expected, WString(buffer));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(c.filePart == nullptr ? nullptr : buffer + length - WideLength(c.filePart), filePart);
  }
  WCHAR buffer[MAX_PATH];
  ASSERT_EQ(6u, GetFullPathNameW(W("/x/y"), MAX_PATH, buffer, nullptr));
  const bool unixPath = WineDiffers("a path that starts with '/' is taken as a host path on drive Z:");
  EXPECT_EQ(WString(unixPath ? W("Z:\\x\\y") : W("C:\\x\\y")), WString(buffer));
}

TEST_F(Paths, SizesFollowTheApi) {
  // Too small: the size needed with the terminator, nothing written, no
  // error; enough: the length without it.
  const WString path = W("C:\\abcdefg");
  WCHAR buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), WCHAR('#'));
  WCHAR* filePart = buffer;
  SetLastError(kSentinel);
  EXPECT_EQ(11u, GetFullPathNameW(path.c_str(), 10, buffer, &filePart));
  EXPECT_EQ(nullptr, filePart);
  EXPECT_EQ(11u, GetFullPathNameW(path.c_str(), 0, nullptr, nullptr));
  const DWORD length = static_cast<DWORD>(cwd_.size());
  EXPECT_EQ(length + 1, GetCurrentDirectoryW(length, buffer));
  EXPECT_EQ(length + 1, GetCurrentDirectoryW(0, nullptr));
  EXPECT_EQ(WCHAR('#'), buffer[0]);
  EXPECT_EQ(kSentinel, GetLastError());
  ASSERT_EQ(10u, GetFullPathNameW(path.c_str(), 11, buffer, &filePart));
  EXPECT_EQ(path, WString(buffer));
  EXPECT_EQ(buffer + 3, filePart);
  WCHAR current[MAX_PATH];
  ASSERT_EQ(length, GetCurrentDirectoryW(length + 1, current));
  EXPECT_EQ(cwd_, WString(current));
  for (const WCHAR* nothing : {W(""), W("   ")}) EXPECT_EQ(0u, GetFullPathNameW(nothing, 16, buffer, nullptr));
}

TEST_F(Paths, TheNarrowCurrentDirectoryFollowsTheSameSizes) {
  const std::string cwd = NarrowAscii(cwd_);
  const DWORD length = static_cast<DWORD>(cwd.size());
  struct Case {
    DWORD size;  // 0: no buffer
    DWORD result;
  };
  const Case cases[] = {{0, length + 1}, {1, length + 1}, {length, length + 1}, {length + 1, length}, {MAX_PATH, length}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    char buffer[MAX_PATH + 1];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    SetLastError(kSentinel);
    EXPECT_EQ(c.result, GetCurrentDirectoryA(c.size, c.size ? buffer : nullptr));
    EXPECT_EQ(kSentinel, GetLastError());
    if (c.result == length) {
      EXPECT_EQ(cwd, std::string(buffer));
    } else {
      EXPECT_EQ('#', buffer[0]);  // too small: left alone
    }
  }
}

TEST_F(Paths, SetCurrentDirectoryTakesTheFullPathOfAFolderOnly) {
  ASSERT_TRUE(TestMachine::MakeFolder(parent_ + W("\\Other")));
  ASSERT_TRUE(TestMachine::WriteFile(parent_ + W("\\file.txt"), "x"));
  struct Change {
    WString path;
    bool changed;
    DWORD result;  // the error, or the index of the directory now current
  };
  const WString results[] = {cwd_, parent_, parent_ + W("\\other"), W("C:\\")};
  const Change changes[] = {
      {cwd_ + W("\\"), true, 0},
      {parent_ + W("\\.\\other\\..\\cwd."), true, 0},
      {W(".."), true, 1},
      {W("..\\other"), true, 2},  // in the case given
      {W("\\"), true, 3},
      {parent_ + W("\\missing"), false, ERROR_FILE_NOT_FOUND},
      {parent_ + W("\\missing\\deeper"), false, ERROR_PATH_NOT_FOUND},
      {parent_ + W("\\file.txt"), false, ERROR_DIRECTORY},
      {WString(), false, ERROR_INVALID_NAME},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(NarrowAscii(c.path));
    ASSERT_TRUE(SetCurrentDirectoryW(cwd_.c_str()));
    SetLastError(kSentinel);
    EXPECT_EQ(c.changed, SetCurrentDirectoryW(c.path.c_str()) != FALSE);
    EXPECT_EQ(c.changed ? kSentinel : c.result, GetLastError());
    EXPECT_EQ(c.changed ? results[c.result] : cwd_, CurrentDirectory());
  }
}

// The test programs start in their build folder, outside any emulated (or
// Wine's) drive C:.
TEST(HostDrive, TheExecutableLibrariesAndTheStartingFolderHaveWindowsNames) {
  WCHAR buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  ASSERT_GT(length, 0u);
  const WString executable(buffer, length);
  EXPECT_EQ(WString(W("Z:\\")), executable.substr(0, 3));
  ExpectWindowsForm(executable);
  EXPECT_EQ(0, Kind(executable));
  const WString current = CurrentDirectory();
  EXPECT_EQ(WString(W("Z:\\")), current.substr(0, 3));
  ExpectWindowsForm(current);
  EXPECT_EQ(static_cast<int>(FILE_ATTRIBUTE_DIRECTORY), Kind(current));
  ASSERT_EQ(3u, GetFullPathNameW(W("\\"), MAX_PATH, buffer, nullptr));
  EXPECT_EQ(WString(W("Z:\\")), WString(buffer));

#ifdef _WIN32
  const WString library = W("kernel32.dll");
#else
  const WString library = W("libkvtr_platform.so");
#endif
  const DWORD libraryLength = GetModuleFileNameW(GetModuleHandleW(library.c_str()), buffer, MAX_PATH);
  ASSERT_GT(libraryLength, library.size());
  const WString path(buffer, libraryLength);
  ExpectWindowsForm(path);
  EXPECT_EQ(W("\\") + library, path.substr(path.size() - library.size() - 1));
  EXPECT_EQ(0, Kind(path));
}

TEST(ModuleNames, AHandleThatIsNoModuleIsModNotFound) {
  int local = 0;
  char* const executable = reinterpret_cast<char*>(GetModuleHandleW(nullptr));
  const HMODULE handles[] = {
      reinterpret_cast<HMODULE>(&local),
      reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x1234)),
      reinterpret_cast<HMODULE>(executable + 0x10),
      reinterpret_cast<HMODULE>(reinterpret_cast<void*>(&RunningUnderWine)),
  };
  for (const HMODULE handle : handles) {
    for (const DWORD size : {static_cast<DWORD>(MAX_PATH), DWORD{0}}) {
      WCHAR buffer[MAX_PATH] = {'#'};
      SetLastError(kSentinel);
      EXPECT_EQ(0u, GetModuleFileNameW(handle, buffer, size)) << handle;
      EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError()) << handle;
      EXPECT_EQ(WCHAR('#'), buffer[0]) << handle;
    }
  }
}

#ifndef _WIN32
// Linux only: the host side of the mapping.
std::string Host(const WCHAR* windowsPath) {
  char out[PATH_MAX];
  KvtrEmu_HostPath(windowsPath, out, sizeof out);
  return out;
}

TEST_F(Paths, DriveZIsTheHostRootBothWays) {
  EXPECT_EQ("/", Host(W("z:\\")));
  EXPECT_EQ("/tmp/x", Host(W("Z:\\..\\tmp\\.\\x.")));
  char pattern[] = "/tmp/kvtr-paths-XXXXXX";
  char real[PATH_MAX];
  ASSERT_TRUE(mkdtemp(pattern) != nullptr && realpath(pattern, real) != nullptr);
  std::ofstream(std::string(real) + "/f.txt") << "x";
  WString folder = W("Z:") + WidenAscii(real);
  std::replace(folder.begin(), folder.end(), WCHAR('/'), WCHAR('\\'));
  EXPECT_EQ(0, Kind(folder + W("\\F.TXT")));
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  EXPECT_EQ(folder, CurrentDirectory());
  char here[PATH_MAX];
  EXPECT_STREQ(real, getcwd(here, sizeof here));
  EXPECT_TRUE(DeleteFileW(W("f.txt")));
  // A host folder inside a drive folder of the prefix is on that drive.
  ASSERT_EQ(0, chdir(Host(cwd_.c_str()).c_str()));
  EXPECT_EQ(cwd_, CurrentDirectory());
  EXPECT_EQ(0, rmdir(real));
}
#endif

}  // namespace
}  // namespace kvtr::test
