// The whole setup cycle through the Windows host program, as a setup runs
// it: kvtr-setup.exe (and the kvtr.dll beside it) install the router's and
// the agent's counters, uninstall them, remove one service's perflib names
// and the legacy counters, on a machine shaped like a real one in the Wine
// prefix, with the MOF compiler emulator registered as the system's
// compiler. (Linux runs the same cycle through its host in setup_cycle.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/machine_shape.h"
#include "support/mof_server.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

struct HostRun {
  DWORD status = 0xFFFFFFFF;
  std::string output;
};

// Runs `arguments` through kvtr-setup.exe beside this program, its
// standard output and error going to a file: a process the child starts
// (Wine's explorer, say) may keep an inherited handle for long, which a
// pipe's reader would wait for.
HostRun RunHost(const WString& arguments, const WString& outputFile) {
  HostRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return run;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = output;
  startup.hStdInput = nullptr;
  const std::string program = ProgramBesideThis("kvtr-setup.exe");
  WString line = W("\"") + WString(program.begin(), program.end()) + W("\" ") + arguments;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(output);
  run.output = TestMachine::ReadFile(outputFile);
  return run;
}

// The "result: N" line the host prints after an export.
std::string ResultOf(const HostRun& run) {
  const size_t at = run.output.rfind("result: ");
  if (at == std::string::npos) return "<none>";
  return run.output.substr(at + 8, run.output.find_first_of("\r\n", at) - at - 8);
}

std::string Repository() {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  return TestMachine::ReadFile(WidenAscii(std::string(windows) + "\\kvtr-wbem\\root.cimv2.mof"));
}

std::vector<WString> Entries(const std::string& path, const WCHAR* name) {
  const std::string bytes = ValueBytes(path, name);
  return bytes == "<missing>" ? std::vector<WString>{} : DecodeMultiString(bytes);
}

TEST(HostCycle, TheHostRunsTheWholeCycleAndLeavesWhatIsNotTheProducts) {
  MofServer server;
  ASSERT_TRUE(server.Usable()) << "needs Wine: the class id belongs to Windows' own compiler";
  ASSERT_EQ(S_OK, server.RegisterResult());
  TestMachine machine;
  ShapeLegacyProductMachine();
  struct Unshape {
    ~Unshape() { RemoveLegacyProductMachine(); }
  } unshape;
  const WString counters = machine.ScratchFolder() + W("\\Counters");
  ASSERT_TRUE(TestMachine::MakeFolder(counters));
  for (const char* file : {"RouterClientPerf.mof", "RouterSessionPerf.mof", "AgentWMIPerf.mof"}) {
    ASSERT_TRUE(TestMachine::WriteFile(counters + W("\\") + WidenAscii(file), ReadSourceFile(std::string("mof/") + file)));
  }
  const WString folder = W("\"") + WString(counters.begin(), counters.end()) + W("\"");
  const WString output = machine.ScratchFolder() + W("\\host-output.txt");
  const auto RunHost = [&output](const WString& arguments) { return kvtr::test::RunHost(arguments, output); };

  const HostRun router = RunHost(W("install-router ") + folder);
  EXPECT_EQ("0", ResultOf(router)) << router.output;
  const HostRun agent = RunHost(W("install-agent ") + folder);
  EXPECT_EQ("0", ResultOf(agent)) << agent.output;
  for (const char* name : {"Win32_PerfRawData_Zorvane_Router_Client", "Win32_PerfRawData_Zorvane_Router_Session",
                           "Win32_PerfRawData_Zorvane_Agent"}) {
    EXPECT_NE(std::string::npos, Repository().find(std::string("class ") + name)) << name;
  }
  const HostRun uninstallRouter = RunHost(W("uninstall-router"));
  EXPECT_EQ("-5", ResultOf(uninstallRouter)) << uninstallRouter.output;
  const HostRun uninstallAgent = RunHost(W("uninstall-agent"));
  EXPECT_EQ("-3", ResultOf(uninstallAgent)) << uninstallAgent.output;
  EXPECT_EQ(std::string::npos, Repository().find("Zorvane"));

  const HostRun names = RunHost(W("uninstall-old-counters \"Zorvane Server\""));
  EXPECT_EQ("0", ResultOf(names)) << names.output;
  const HostRun legacy = RunHost(W("remove-old-counters"));
  EXPECT_EQ("0", ResultOf(legacy)) << legacy.output;

  // Exactly the service's pairs left the lists, in every language.
  const PerflibShape perflib = LegacyMachinePerflib();
  const PerflibService& target = kLegacyTargetService;
  for (const std::string& language : perflib.languages()) {
    const std::string path = std::string(kPerflibPath) + "\\" + language;
    EXPECT_EQ(perflib.Entries(true, PerflibShape::Without(perflib.counters(), target.firstCounter, target.lastCounter)),
              Entries(path, W("Counter")))
        << language;
    EXPECT_EQ(perflib.Entries(false, PerflibShape::Without(perflib.help(), target.firstHelp, target.lastHelp)),
              Entries(path, W("Help")))
        << language;
  }
  // The legacy product is gone: services' Performance keys, components,
  // COM classes, its SharedDLLs entry and its files.
  EXPECT_FALSE(KeyExists(PerflibShape::ServicePath("Zorvane Server")));
  for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
    EXPECT_FALSE(KeyExists(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Router\\Performance")) << set;
  }
  EXPECT_FALSE(KeyExists(ComponentPath("S-1-5-18", kLegacyRouterComponent)));
  EXPECT_FALSE(KeyExists(ComponentPath("S-1-5-18", kLegacyAgentComponent)));
  EXPECT_FALSE(KeyExists(std::string("SOFTWARE\\Classes\\CLSID\\") + kLegacyRouterClass));
  EXPECT_FALSE(KeyExists(std::string("SOFTWARE\\Classes\\CLSID\\") + kLegacyAgentClass));
  const std::string sharedDlls = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  EXPECT_EQ("<missing>", ValueBytes(sharedDlls, kLegacyAgentDll));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kLegacyRouterDll));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kLegacyAgentDll));
  // Everything of the other software stays.
  EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Services\\Other Service\\Performance"));
  EXPECT_TRUE(KeyExists("SOFTWARE\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32"));
  EXPECT_TRUE(KeyExists(ComponentPath("S-1-5-18", "0A1B2C3D4E5F60718293A4B5C6D7E8F9")));
  EXPECT_TRUE(KeyExists(ComponentPath("S-1-5-21-42", "9F8E7D6C5B4A39281706F5E4D3C2B1A0")));
  EXPECT_NE("<missing>", ValueBytes(sharedDlls, W("C:\\Windows\\system32\\msvcr71.dll")));
  EXPECT_EQ((std::vector<WString>{W("C:\\Windows\\system32\\wbem\\cimwin32.mof"),
                                  W("C:\\Windows\\system32\\wbem\\ntevt.mof"), W("C:\\Program Files\\Other\\other.mof")}),
            Entries("SOFTWARE\\Microsoft\\WBEM\\CIMOM", W("Autorecover MOFs")));
}

}  // namespace
}  // namespace kvtr::test
