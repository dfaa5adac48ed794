// Files: attributes and their error codes, deletion, environment expansion
// and the executable's name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  setenv(name, value, 1);
#endif
}

class Files : public ::testing::Test {
 protected:
  WString In(const WCHAR* name) const { return machine_.ScratchFolder() + W("\\") + name; }
  TestMachine machine_;
};

TEST_F(Files, AttributesTellFilesFromFoldersAndExplainFailures) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("file.txt")), "data"));
  const DWORD file = GetFileAttributesW(In(W("file.txt")).c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, file);
  EXPECT_EQ(0u, file & FILE_ATTRIBUTE_DIRECTORY);
  const DWORD folder = GetFileAttributesW(machine_.ScratchFolder().c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, folder);
  EXPECT_NE(0u, folder & FILE_ATTRIBUTE_DIRECTORY);

  struct Failure {
    WString path;
    DWORD error;
  };
  const Failure failures[] = {
      {In(W("missing.txt")), ERROR_FILE_NOT_FOUND},
      {In(W("missing\\file.txt")), ERROR_PATH_NOT_FOUND},
      {In(W("file.txt\\below")), ERROR_PATH_NOT_FOUND},
      {WString(), ERROR_PATH_NOT_FOUND},
  };
  for (const Failure& f : failures) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(f.path.c_str())) << NarrowAscii(f.path);
    EXPECT_EQ(f.error, GetLastError()) << NarrowAscii(f.path);
  }
  const std::string narrow = NarrowAscii(In(W("file.txt")));
  EXPECT_EQ(file, GetFileAttributesA(narrow.c_str()));
}

TEST_F(Files, NamesIgnoreCase) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("Mixed.TXT")), "x"));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(In(W("mixed.txt")).c_str()));
}

TEST_F(Files, TrailingDotsAndSpacesNameTheSameFile) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("file.txt")), "x"));
  for (const WCHAR* name : {W("file.txt."), W("file.txt "), W("FILE.TXT. .")}) {
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(In(name).c_str())) << NarrowAscii(name);
  }
}

TEST_F(Files, DeletionRemovesFilesOnly) {
  ASSERT_TRUE(TestMachine::WriteFile(In(W("doomed.txt")), "x"));
  EXPECT_TRUE(DeleteFileW(In(W("doomed.txt")).c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(In(W("doomed.txt")).c_str()));

  struct Refusal {
    WString path;
    DWORD error;
  };
  ASSERT_TRUE(TestMachine::MakeFolder(In(W("folder"))));
  ASSERT_TRUE(TestMachine::WriteFile(In(W("locked.txt")), "x"));
  ASSERT_TRUE(TestMachine::SetReadOnly(In(W("locked.txt")), true));
  const Refusal refusals[] = {
      {In(W("doomed.txt")), ERROR_FILE_NOT_FOUND},
      {In(W("nowhere\\x.txt")), ERROR_PATH_NOT_FOUND},
      {In(W("folder")), ERROR_ACCESS_DENIED},
      {In(W("locked.txt")), ERROR_ACCESS_DENIED},
  };
  for (const Refusal& r : refusals) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW(r.path.c_str())) << NarrowAscii(r.path);
    EXPECT_EQ(r.error, GetLastError()) << NarrowAscii(r.path);
  }
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(In(W("locked.txt")).c_str()));
  TestMachine::SetReadOnly(In(W("locked.txt")), false);
  const std::string narrow = NarrowAscii(In(W("locked.txt")));
  EXPECT_TRUE(DeleteFileA(narrow.c_str()));
}

TEST(Environment, VariablesExpandAndTheRestStaysAsWritten) {
  SetVariable("KVTR_TEST_VAR", "val");
  struct Case {
    const WCHAR* source;
    const WCHAR* expanded;
  };
  const Case cases[] = {
      {W("a%KVTR_TEST_VAR%b"), W("avalb")},
      {W("%kvtr_test_var%"), W("val")},
      {W("%KVTR_UNSET_VAR%KVTR_TEST_VAR%"), W("%KVTR_UNSET_VAR%KVTR_TEST_VAR%")},
      {W("100%"), W("100%")},
      {W("%%"), W("%%")},
      {W("%KVTR_TEST_VAR"), W("%KVTR_TEST_VAR")},
      {W(""), W("")},
  };
  for (const Case& c : cases) {
    WCHAR out[64];
    const DWORD needed = ExpandEnvironmentStringsW(c.source, out, 64);
    EXPECT_EQ(WString(c.expanded), WString(out)) << NarrowAscii(c.source);
    EXPECT_EQ(WideLength(c.expanded) + 1, needed) << NarrowAscii(c.source);
  }
  char narrow[64];
  EXPECT_EQ(6u, ExpandEnvironmentStringsA("a%KVTR_TEST_VAR%b", narrow, sizeof narrow));
  EXPECT_STREQ("avalb", narrow);
}

TEST(Environment, TooSmallABufferGetsTheSizeItNeeds) {
  SetVariable("KVTR_TEST_VAR", "val");
  WCHAR out[8];
  std::fill(std::begin(out), std::end(out), WCHAR('#'));
  EXPECT_EQ(9u, ExpandEnvironmentStringsW(W("x%KVTR_TEST_VAR%yyyy"), out, 0));
  EXPECT_EQ(WCHAR('#'), out[0]);
  EXPECT_EQ(9u, ExpandEnvironmentStringsW(W("x%KVTR_TEST_VAR%yyyy"), out, 4));
}

TEST(Environment, WindirNamesTheWindowsFolder) {
  WCHAR out[MAX_PATH];
  ASSERT_GT(ExpandEnvironmentStringsW(W("%windir%\\system32"), out, MAX_PATH), 0u);
  WString expanded(out);
  for (WCHAR& c : expanded) c = (c >= 'a' && c <= 'z') ? WCHAR(c - 32) : c;
  EXPECT_EQ(WString(W("C:\\WINDOWS\\SYSTEM32")), expanded);
}

TEST(ModuleNames, TheExecutablesPathIsWholeOrReportedCut) {
  WCHAR path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  const WString whole(path, length);
  EXPECT_NE(WString::npos, whole.find(W("platform_tests")));

  WCHAR cut[5];
  std::fill(std::begin(cut), std::end(cut), WCHAR('#'));
  SetLastError(0);
  EXPECT_EQ(5u, GetModuleFileNameW(nullptr, cut, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(whole.substr(0, 4), WString(cut, 4));
  if (!WineDiffers("a cut module name is not terminated (Windows XP behaviour)")) {
    EXPECT_EQ(0, cut[4]);
  }
}

}  // namespace
}  // namespace kvtr::test
