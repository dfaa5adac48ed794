// The product's MOF files (mof/ in the source tree) compile into
// root\cimv2 as raw performance classes, join the autorecover list, and
// the library's deletion text removes the agent's class again.
#include <fstream>
#include <iterator>

#include "mofcomp/mof_test.h"

namespace kvtr::test {
namespace {

using ProductMof = MofTest;

TEST_F(ProductMof, FilesCompileIntoRootCimv2AsRawPerformanceClasses) {
  struct File {
    const char* file;
    const char* className;
    size_t counters;
  };
  const File files[] = {
      {"RouterClientPerf.mof", "Win32_PerfRawData_Zorvane_Router_Client", 5},
      {"RouterSessionPerf.mof", "Win32_PerfRawData_Zorvane_Router_Session", 5},
      {"AgentWMIPerf.mof", "Win32_PerfRawData_Zorvane_Agent", 5},
      {"ZMSI_WMI.mof", "Win32_Zorvane_counter", 5},
  };
  std::vector<WString> paths;
  std::vector<std::string> expected = kBuiltinCimv2;
  for (const File& f : files) {
    const std::string text = ReadSourceFile(std::string("mof/") + f.file);
    ASSERT_FALSE(text.empty()) << f.file;
    paths.push_back(WriteMof(f.file, text));
    // Compiled the way setup does it: no namespace, no flags.
    EXPECT_EQ(kSuccess, CompilePath(paths.back()).Text()) << f.file;
    expected.push_back(std::string(f.className) + ":Win32_PerfRawData");

    const auto c = mof::FindClass(W("root\\cimv2"), WidenAscii(f.className));
    ASSERT_TRUE(c.has_value()) << f.file;
    for (const WCHAR* qualifier : {W("Dynamic"), W("Provider"), W("DisplayName"), W("Description"), W("HiPerf"),
                                   W("GenericPerfCounter"), W("Locale")}) {
      EXPECT_NE(nullptr, c->FindQualifier(qualifier)) << f.file << " " << NarrowAscii(qualifier);
    }
    size_t counters = 0;
    for (const mof::Property& p : c->properties) {
      bool counter = false;
      for (const mof::Qualifier& q : p.qualifiers) counter |= mof::SameName(q.name, W("CounterType"));
      counters += counter;
    }
    EXPECT_EQ(f.counters, counters) << f.file;
  }
  EXPECT_EQ(expected, Classes());
  EXPECT_EQ(paths, AutorecoverEntries());

  // Setup's uninstall text removes the agent's class and nothing else.
  std::string deletion = "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n"
                         "#pragma deleteclass(\"Win32_PerfRawData_Zorvane_Agent\",FAIL)";
  deletion.resize(1024, '\0');
  EXPECT_EQ(kSuccess, CompileBytes(deletion).Text());
  expected.erase(expected.begin() + static_cast<long>(kBuiltinCimv2.size()) + 2);
  EXPECT_EQ(expected, Classes());
  // Compiling a file again replaces its class; the list stays as it was.
  EXPECT_EQ(kSuccess, CompilePath(paths[0]).Text());
  EXPECT_EQ(expected, Classes());
  EXPECT_EQ(paths, AutorecoverEntries());
}

}  // namespace
}  // namespace kvtr::test
