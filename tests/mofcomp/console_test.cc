// WBEM_FLAG_CONSOLE_PRINT: the compiler's progress and errors on stdout,
// and silence without the flag.
#include "mofcomp/mof_test.h"

namespace kvtr::test {
namespace {

using MofConsole = MofTest;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr LONG kPrint = mof::option::kConsolePrint;

TEST_F(MofConsole, PrintsProgressAndErrorsOnlyWhenAsked) {
  const WString good = WriteMof("good.mof", "#pragma namespace(\"root\\\\cimv2\")\nclass Zorvane_Shown { };\n");
  const WString broken = WriteMof("broken.mof", "class Zorvane_Broken\n{\n  uint32 X\n};\n");
  const std::string path = NarrowAscii(good);

  CaptureStdout();
  EXPECT_EQ(kSuccess, CompilePath(good, kPrint).Text());
  EXPECT_EQ("Parsing MOF file: " + path +
                "\nMOF file has been successfully parsed\nStoring data in the repository...\nDone!\n",
            GetCapturedStdout());

  CaptureStdout();
  EXPECT_EQ(Failure(mof::kPhaseParse, mof::status::kExpectedSemi, 1, 1, 4), CompilePath(broken, kPrint).Text());
  const std::string syntax = GetCapturedStdout();
  EXPECT_NE(std::string::npos, syntax.find(NarrowAscii(broken) + " (4): error SYNTAX 0x80044002")) << syntax;
  EXPECT_NE(std::string::npos, syntax.find("Compiler returned error 0x80044002")) << syntax;
  EXPECT_EQ(std::string::npos, syntax.find("Done!")) << syntax;

  CaptureStdout();
  std::string deletion = "#pragma namespace(\"root\\\\cimv2\")\n#pragma deleteclass(\"Zorvane_Missing\",FAIL)";
  EXPECT_EQ(Failure(mof::kPhaseStore, mof::status::kNotFound, 1, 2, 2), CompileBytes(deletion, kPrint).Text());
  const std::string store = GetCapturedStdout();
  EXPECT_NE(std::string::npos, store.find("An error occurred while processing item 1 defined on lines 2 - 2"))
      << store;
  EXPECT_NE(std::string::npos, store.find("Error Number: 0x80041002")) << store;

  CaptureStdout();
  EXPECT_EQ(kSuccess, CompilePath(good, mof::option::kCheckOnly | kPrint).Text());
  const std::string checked = GetCapturedStdout();
  EXPECT_EQ(std::string::npos, checked.find("Storing")) << checked;

  CaptureStdout();
  CompilePath(good);
  CompilePath(broken);
  CompileBytes(deletion);
  CompilePath(good, mof::option::kDontAddToList | mof::option::kAutoRecover);
  EXPECT_EQ("", GetCapturedStdout());
}

}  // namespace
}  // namespace kvtr::test
