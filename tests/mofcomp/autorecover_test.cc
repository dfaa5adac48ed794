// The autorecover list (HKLM\SOFTWARE\Microsoft\WBEM\CIMOM "Autorecover
// MOFs"): when a compilation adds its file, that it adds it once, and that
// every other entry keeps its bytes and place.
#include "mofcomp/mof_test.h"

namespace kvtr::test {
namespace {

using MofAutorecover = MofTest;

constexpr char kRecovered[] = "#pragma autorecover\nclass Zorvane_Recovered { };\n";
constexpr char kPlain[] = "class Zorvane_Plain { };\n";

TEST_F(MofAutorecover, FileIsAddedOnceWithItsFullPath) {
  const WString path = WriteMof("Agent.mof", kRecovered);
  ASSERT_EQ("<missing>", AutorecoverBytes());
  EXPECT_EQ(kSuccess, CompilePath(path).Text());
  EXPECT_EQ(WideBytes(path + WString(2, 0)), AutorecoverBytes());

  // Again, and spelled otherwise: the same file, not listed twice.
  EXPECT_EQ(kSuccess, CompilePath(path).Text());
  WString upper = path;
  for (wchar& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<wchar>(c - 0x20) : c;
  EXPECT_EQ(kSuccess, CompilePath(upper).Text());
  EXPECT_EQ(kSuccess, CompilePath(machine_.ScratchFolder() + W("\\sub\\..\\.\\Agent.mof")).Text());
  EXPECT_EQ(std::vector<WString>{path}, AutorecoverEntries());

  // The path is made full before it is listed.
  const WString other = WriteMof("Other.mof", kRecovered);
  EXPECT_EQ(kSuccess, CompilePath(machine_.ScratchFolder() + W("\\sub\\..\\Other.mof")).Text());
  EXPECT_EQ((std::vector<WString>{path, other}), AutorecoverEntries());
}

TEST_F(MofAutorecover, OtherEntriesKeepTheirBytesAndOrder) {
  // Entries of other products, an empty entry in the middle, and a list
  // whose last terminator is missing.
  const WString existing = WString(W("C:\\Windows\\system32\\wbem\\cimwin32.mof")) + WString(1, 0) + WString(1, 0) +
                           W("d:\\Vendor\\Counters.MOF") + WString(1, 0) + W("relative.mof");
  SetAutorecoverBytes(WideBytes(existing));
  const WString path = WriteMof("Agent.mof", kRecovered);
  EXPECT_EQ(kSuccess, CompilePath(path).Text());
  EXPECT_EQ(WideBytes(existing + WString(1, 0) + path + WString(2, 0)), AutorecoverBytes());

  // A list that is already properly terminated gains one entry at its end.
  const WString terminated = WString(W("C:\\a.mof")) + WString(1, 0) + W("C:\\b.mof") + WString(2, 0);
  SetAutorecoverBytes(WideBytes(terminated));
  EXPECT_EQ(kSuccess, CompilePath(path).Text());
  EXPECT_EQ(WideBytes(terminated.substr(0, terminated.size() - 1) + path + WString(2, 0)), AutorecoverBytes());

  // An entry naming the file in other letters counts as the file.
  const WString listed = WString(W("C:\\x.mof")) + WString(1, 0) + W("c:\\KVTR-TESTS") +
                         path.substr(WString(W("C:\\kvtr-tests")).size()) + WString(2, 0);
  SetAutorecoverBytes(WideBytes(listed));
  EXPECT_EQ(kSuccess, CompilePath(path).Text());
  EXPECT_EQ(WideBytes(listed), AutorecoverBytes());
}

TEST_F(MofAutorecover, OnlySuccessfulStoringCompilationsOfFilesAreListed) {
  struct Case {
    const char* name;
    const char* text;
    LONG options;
    bool listed;
  };
  const Case cases[] = {
      {"pragma", kRecovered, 0, true},
      {"flag", kPlain, mof::option::kAutoRecover, true},
      {"flag and pragma", kRecovered, mof::option::kAutoRecover, true},
      {"neither", kPlain, 0, false},
      {"don't add to list", kRecovered, mof::option::kDontAddToList, false},
      {"check only", kRecovered, mof::option::kCheckOnly, false},
      {"check only with the flag", kPlain, mof::option::kCheckOnly | mof::option::kAutoRecover, false},
      {"syntax error", "#pragma autorecover\nclass Zorvane_Broken { uint32 X };", 0, false},
      {"storing error", "#pragma autorecover\nclass Zorvane_Orphan : Zorvane_NoBase { };", 0, false},
      {"store file", kRecovered, mof::option::kStoreFile, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SetAutorecoverBytes(WideBytes(WString(2, 0)));
    const WString path = WriteMof("case-" + std::to_string(++n) + ".mof", c.text);
    CompilePath(path, c.options);
    const std::vector<WString> expected = c.listed ? std::vector<WString>{path} : std::vector<WString>{};
    EXPECT_EQ(expected, AutorecoverEntries()) << c.name;
  }
  // A buffer has no file to list.
  SetAutorecoverBytes(WideBytes(WString(2, 0)));
  EXPECT_EQ(kSuccess, CompileBytes(kRecovered, mof::option::kAutoRecover).Text());
  EXPECT_EQ(std::vector<WString>{}, AutorecoverEntries());
}

}  // namespace
}  // namespace kvtr::test
