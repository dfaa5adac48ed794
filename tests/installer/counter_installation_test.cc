// Installing the performance classes: InstRouter, InstAgent and the MOF
// compilation they stand on.
#include "installer/counter_installation.h"

#include <stdexcept>
#include <thread>

#include "common_utils/paths/path_functions.h"
#include "installer/export_barrier.h"
#include "installer/installer_test.h"
#include "installer/qel_wmi.h"
#include "support/fake_mof_compiler.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

using installer::InstAgent;
using installer::InstRouter;

const WString kClient = W("RouterClientPerf.mof");
const WString kSession = W("RouterSessionPerf.mof");
const WString kAgent = W("AgentWMIPerf.mof");

class Installation : public InstallerTest {};

TEST_F(Installation, BothExportsInstallTheirClassesFromAGivenDirectory) {
  const WString folder = PlaceProductMofs();
  EXPECT_EQ(0, InstRouter(folder.c_str()));
  EXPECT_EQ(0, InstAgent(folder.c_str()));
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Client")));
  EXPECT_TRUE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Session")));
  EXPECT_TRUE(ClassExists(W("Win32_PerfRawData_Zorvane_Agent")));
  // The files ask to be compiled again when WMI rebuilds its repository.
  const std::vector<WString> list = AutorecoverEntries();
  for (const WString& name : {kClient, kSession, kAgent}) {
    EXPECT_NE(list.end(), std::find(list.begin(), list.end(), folder + W("\\") + name)) << NarrowAscii(name);
  }
  // Installing again compiles again and succeeds.
  EXPECT_EQ(0, InstAgent(folder.c_str()));
}

TEST_F(Installation, ADirectoryThatIsMissingEmptyOrAFileIsRefused) {
  const WString file = machine_.ScratchFolder() + W("\\file.txt");
  ASSERT_TRUE(TestMachine::WriteFile(file, "x"));
  const WString missing = machine_.ScratchFolder() + W("\\missing");
  for (const WString& directory : {missing, WString(), file}) {
    Reports().clear();
    EXPECT_EQ(-5, InstRouter(directory.c_str()));
    EXPECT_EQ(-5, InstAgent(directory.c_str()));
    const WString expected = W("Cannot find path : [") + directory + W("]");
    ASSERT_EQ(2u, Reports().size());
    EXPECT_EQ(expected, Reports()[0].message);
    EXPECT_EQ("InstRouter", Reports()[0].function);
    EXPECT_EQ("InstAgent", Reports()[1].function);
    EXPECT_EQ(1, Reports()[1].level);
  }
}

TEST_F(Installation, AMissingFirstRouterFileStopsBeforeTheSecond) {
  FakeMofCompiler compiler;
  ASSERT_TRUE(compiler.registered());
  const WString folder = machine_.ScratchFolder();
  ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\") + kSession, "x"));
  EXPECT_EQ(-2, InstRouter(folder.c_str()));
  EXPECT_TRUE(compiler.calls().empty());
  const WString path = folder + W("\\") + kClient;
  EXPECT_EQ((std::vector<WString>{W("Cannot find MOF file : ") + path,
                                  W("Could not add preformance counters from ") + path}),
            Messages());
  EXPECT_EQ("qel_wmi::CompileMOFile", Reports()[0].function);
  EXPECT_EQ(&installer::g_wmiContext, Reports()[0].context);
  EXPECT_EQ("InstRouter", Reports()[1].function);
  EXPECT_EQ(&installer::g_exportsContext, Reports()[1].context);
}

TEST_F(Installation, AFailedSecondRouterFileIsMinusThree) {
  const WString folder = machine_.ScratchFolder();
  ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\") + kClient, ReadSourceFile("mof/RouterClientPerf.mof")));
  EXPECT_EQ(-3, InstRouter(folder.c_str()));
  EXPECT_TRUE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Client")));
  ASSERT_EQ(2u, Messages().size());
  EXPECT_EQ(W("Could not add preformance counters from ") + folder + W("\\") + kSession, Messages()[1]);
}

TEST_F(Installation, TheDirectoryIsJoinedWithOneBackslash) {
  FakeMofCompiler compiler;
  const WString folder = machine_.ScratchFolder();
  for (const WString& name : {kClient, kSession, kAgent}) TestMachine::WriteFile(folder + W("\\") + name, "x");
  WString slashed = folder;
  for (WCHAR& c : slashed) c = c == '\\' ? '/' : c;
  struct Case {
    WString directory;
    WString path;
  };
  const Case cases[] = {
      {folder, folder + W("\\") + kAgent},
      {folder + W("\\"), folder + W("\\") + kAgent},
      {slashed + W("/"), slashed + W("/\\") + kAgent},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(0, InstAgent(c.directory.c_str()));
    ASSERT_FALSE(compiler.calls().empty());
    EXPECT_EQ(c.path, compiler.calls().back().path);
  }
  EXPECT_EQ(0, InstRouter(folder.c_str()));
  ASSERT_EQ(5u, compiler.calls().size());
  EXPECT_EQ(folder + W("\\") + kClient, compiler.calls()[3].path);
  EXPECT_EQ(folder + W("\\") + kSession, compiler.calls()[4].path);
}

TEST_F(Installation, WithoutADirectoryTheExecutablesOwnIsUsed) {
  FakeMofCompiler compiler;
  WCHAR executable[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
  ASSERT_GT(length, 0u);
  // A Windows path on both platforms: "<folder>\<name>", so the MOF files
  // are "<folder>\<file>" and the file tests find them.
  const WString path(executable, length);
  ASSERT_EQ(WString::npos, path.find('/')) << NarrowAscii(path);
  const WString folder = path.substr(0, path.rfind('\\') + 1);
  const WString files[] = {folder + kAgent, folder + kClient, folder + kSession};
  for (const WString& file : files) ASSERT_TRUE(TestMachine::WriteFile(file, "x")) << NarrowAscii(file);
  EXPECT_EQ(0, InstAgent(nullptr));
  EXPECT_EQ(0, InstRouter(nullptr));
  for (const WString& file : files) DeleteFileW(file.c_str());
  ASSERT_EQ(3u, compiler.calls().size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(files[i], compiler.calls()[i].path);
}

#ifndef _WIN32
// Linux only: the executable's path is chosen, cut or made unreadable
// through the emulation control.
TEST_F(Installation, ASetupInCSetupCompilesCSetupAgentWmiPerf) {
  KvtrEmu_SetModuleFileName(W("C:\\Setup\\setup.exe"));
  PlaceProductMofs(W("C:\\Setup"));
  EXPECT_EQ(0, InstAgent(nullptr));
  const std::vector<WString> list = AutorecoverEntries();
  EXPECT_NE(list.end(), std::find(list.begin(), list.end(), WString(W("C:\\Setup\\AgentWMIPerf.mof"))));
}

TEST_F(Installation, AnExecutablePathThatCannotBeReadIsMinusOne) {
  KvtrEmu_FailCall("GetModuleFileNameW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(-1, InstRouter(nullptr));
  KvtrEmu_FailCall("GetModuleFileNameW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(-1, InstAgent(machine_.ScratchFolder().c_str())) << "the path is read even with a directory";
  const WString expected = W("Cannot get module name, the function returns: error Not enough memory resources are "
                             "available to process this command. (8)");
  EXPECT_EQ((std::vector<WString>{expected, expected}), Messages());
}

TEST_F(Installation, AnExecutablePathCutToTheBufferIsMinusOne) {
  // 260 units fill InstRouter's buffer exactly; 259 fill InstAgent's.
  const WString deep = W("C:\\") + WString(300, 'd') + W("\\setup.exe");
  KvtrEmu_SetModuleFileName(deep.c_str());
  EXPECT_EQ(-1, InstRouter(nullptr));
  EXPECT_EQ(-1, InstAgent(nullptr));
  const WString expected = W("Cannot get module name, the function returns: error The data area passed to a system "
                             "call is too small. (122)");
  EXPECT_EQ((std::vector<WString>{expected, expected}), Messages());
  // 258 units still fit both.
  KvtrEmu_SetModuleFileName((W("C:\\") + WString(244, 'd') + W("\\setup.exe")).c_str());
  Reports().clear();
  EXPECT_EQ(-2, InstRouter(nullptr));
  EXPECT_EQ(-1, InstAgent(nullptr));
  EXPECT_EQ(4u, Messages().size());
  EXPECT_EQ(0u, Messages()[0].find(W("Cannot find MOF file : C:\\ddd")));
}
#endif

TEST_F(Installation, WithoutAUsableCallbackTheResultsStayAndNothingIsReported) {
  installer::SetLog(nullptr, nullptr);
  const WString missing = machine_.ScratchFolder() + W("\\missing");
  EXPECT_EQ(-5, InstRouter(missing.c_str()));
  EXPECT_EQ(-2, InstRouter(machine_.ScratchFolder().c_str()));
  EXPECT_EQ(-1, InstAgent(machine_.ScratchFolder().c_str()));
  const WString folder = PlaceProductMofs();
  EXPECT_EQ(0, InstRouter(folder.c_str()));
  EXPECT_TRUE(Reports().empty());
}

// ---- the compilation ----

class MofCompilation : public InstallerTest {
 protected:
  WString File() {
    const WString path = machine_.ScratchFolder() + W("\\x.mof");
    TestMachine::WriteFile(path, "x");
    return path;
  }
};

TEST_F(MofCompilation, EmptyAndMissingFilesAreReportedWithoutACompiler) {
  FakeMofCompiler compiler;
  EXPECT_FALSE(qel_wmi::CompileMOFile(nullptr));
  EXPECT_FALSE(qel_wmi::CompileMOFile(W("")));
  EXPECT_FALSE(qel_wmi::CompileMOFile(machine_.ScratchFolder().c_str()));
  EXPECT_EQ((std::vector<WString>{W("MOF file is empty"), W("MOF file is empty"),
                                  W("Cannot find MOF file : ") + machine_.ScratchFolder()}),
            Messages());
  EXPECT_TRUE(compiler.calls().empty());
}

TEST_F(MofCompilation, TheCompilerIsAskedWithTheFixedOptionsAndReleased) {
  FakeMofCompiler compiler;
  const WString path = File();
  EXPECT_TRUE(qel_wmi::CompileMOFile(path.c_str()));
  ASSERT_EQ(1u, compiler.calls().size());
  EXPECT_TRUE(compiler.calls()[0].file);
  EXPECT_EQ(path, compiler.calls()[0].path);
  EXPECT_EQ(0x108, compiler.calls()[0].options);
  EXPECT_TRUE(compiler.calls()[0].nullConnection);
  EXPECT_EQ(0, compiler.liveObjects());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(MofCompilation, FailuresAreReportedWithPhaseResultAndObject) {
  FakeMofCompiler compiler;
  const WString path = File();
  struct Case {
    ScriptedAnswer answer;
    bool compiled;
    const WCHAR* report;  // the part after "Error [result] MOF [path] "
  };
  const Case cases[] = {
      {{1, 0, 0, 0}, false, W("compilation failed with error : no error, error code : 0, object number : 0")},
      {{1, 2, static_cast<HRESULT>(0x80044002), 3}, false,
       W("compilation failed with error : parsing, error code : -2147205118, object number : 3")},
      {{0, 3, static_cast<HRESULT>(0x80041002), 1}, false,
       W("compilation failed with error : errors occurred while storing the data, error code : -2147217406, "
         "object number : 1")},
      // A COM failure code is a failure too, not a success.
      {{static_cast<HRESULT>(0x80004005), 0, 0, 0}, false,
       W("compilation failed with error : no error, error code : 0, object number : 0")},
      // A phase with no text shows as "(null)", whatever its number.
      {{1, 7, 0, 0}, false, W("compilation failed with error : (null), error code : 0, object number : 0")},
      {{0, 0, 0, 0}, true, nullptr},
      {{2, 0, 0, 0}, true, nullptr},
  };
  for (const Case& c : cases) {
    Reports().clear();
    compiler.Answer(c.answer);
    EXPECT_EQ(c.compiled, qel_wmi::CompileMOFile(path.c_str())) << c.answer.result;
    if (c.report == nullptr) {
      EXPECT_TRUE(Messages().empty());
      continue;
    }
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(W("Error [") + WidenAscii(std::to_string(c.answer.result)) + W("] MOF [") + path + W("] ") + c.report,
              Messages()[0]);
    EXPECT_EQ(0, compiler.liveObjects());
  }
}

TEST_F(MofCompilation, ExceptionsFromTheCompilerAreFailuresWithoutAReport) {
  FakeMofCompiler compiler;
  const WString path = File();
  for (auto raise : {ScriptedAnswer::Throw::kStandard, ScriptedAnswer::Throw::kOther}) {
    ScriptedAnswer answer;
    answer.raise = raise;
    compiler.Answer(answer);
    EXPECT_FALSE(qel_wmi::CompileMOFile(path.c_str()));
    EXPECT_EQ(0, compiler.liveObjects()) << "the object is released on every path";
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(MofCompilation, AThreadWithoutComCannotCreateTheCompiler) {
  const WString path = File();
  bool compiled = true;
  std::thread([&] { compiled = qel_wmi::CompileMOFile(path.c_str()); }).join();
  EXPECT_FALSE(compiled);
  ASSERT_EQ(1u, Messages().size());
  const WString prefix = W("Cannot initialize MOF Compiler COM interface for ") + path + W(", result: [-2147221008] Error ");
  EXPECT_EQ(0u, Messages()[0].find(prefix)) << NarrowAscii(Messages()[0]);
}

TEST_F(MofCompilation, AnUnregisteredCompilerIsReported) {
#ifdef _WIN32
  if (!server_->Usable()) GTEST_SKIP() << "the system's own compiler is registered";
  ASSERT_EQ(S_OK, server_->Unregister());
#else
  KvtrEmu_FailCall("CoCreateInstance", 1, static_cast<DWORD>(REGDB_E_CLASSNOTREG));
#endif
  const WString path = File();
  EXPECT_FALSE(qel_wmi::CompileMOFile(path.c_str()));
  ASSERT_EQ(1u, Messages().size());
  EXPECT_EQ(0u, Messages()[0].find(W("Cannot initialize MOF Compiler COM interface for ") + path +
                                   W(", result: [-2147221164] Error ")));
}

TEST_F(MofCompilation, ARealSyntaxErrorIsAParsingFailure) {
  const WString path = machine_.ScratchFolder() + W("\\broken.mof");
  ASSERT_TRUE(TestMachine::WriteFile(path, "class Zorvane_Broken\n{\n  uint32 Value\n};\n"));
  EXPECT_FALSE(qel_wmi::CompileMOFile(path.c_str()));
  ASSERT_EQ(1u, Messages().size());
  EXPECT_EQ(0u, Messages()[0].find(W("Error [1] MOF [") + path + W("] compilation failed with error : parsing, error code : -")));
}

// ---- exceptions around the router's compilations ----

std::vector<WString> g_seen;
int g_throwsLeft = 0;
bool g_throwStandard = true;

// Records each message; the next g_throwsLeft calls then throw.
extern "C" void __cdecl RecordThenThrow(int, void*, void*, void*, const WCHAR* message, const char*, int, void*) {
  g_seen.push_back(message);
  if (g_throwsLeft == 0) return;
  --g_throwsLeft;
  if (g_throwStandard) throw std::runtime_error("callback failed");
  throw 42;
}

TEST_F(Installation, ExceptionsDuringTheRouterCompilationsAreCaughtAndReported) {
  const WString folder = machine_.ScratchFolder();
  const WString client = folder + W("\\") + kClient;
  const WString session = folder + W("\\") + kSession;
  // The first report ("Cannot find MOF file") throws; the export reports the
  // exception through the same callback, which then lets it pass.
  installer::SetLog(nullptr, &RecordThenThrow);
  g_seen.clear();
  g_throwsLeft = 1;
  g_throwStandard = true;
  EXPECT_EQ(-4, InstRouter(folder.c_str()));
  ASSERT_EQ(2u, g_seen.size());
  EXPECT_EQ(W("Cannot uninstall MOF file [") + client + W("][") + session + W("] due to an exception : callback failed"),
            g_seen[1]);

  g_seen.clear();
  g_throwsLeft = 1;
  g_throwStandard = false;
  EXPECT_EQ(-5, InstRouter(folder.c_str()));
  ASSERT_EQ(2u, g_seen.size());
  EXPECT_EQ(W("Unknown exception on : [") + client + W("][") + session + W("]"), g_seen[1]);

  // InstAgent catches nothing; its export's barrier does.
  g_throwsLeft = 1;
  g_throwStandard = true;
  EXPECT_THROW(InstAgent(folder.c_str()), std::runtime_error);
  g_seen.clear();
  g_throwsLeft = 1;
  EXPECT_EQ(-1, installer::exported::InstAgent(folder.c_str()));
  ASSERT_EQ(2u, g_seen.size());
  EXPECT_EQ(W("Stopped by an exception : callback failed"), g_seen[1]);
}

}  // namespace
}  // namespace kvtr::test
