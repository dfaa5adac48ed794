// The symbol search path: its parts, its reports, the buffer rules and the
// debugger output. The machine is the one of the example everybody knows:
// current directory C:\Work, SYSTEMROOT C:\Windows, no _NT_ variables; the
// executable is C:\App\setup.exe on Linux (emulation control) and the test
// program itself under Wine, except in the debugger test, which runs a copy
// of the program as C:\App\setup.exe and reads its output as a debugger.
#include "common_utils/module/symbol_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/debugger.h"
#include "support/log_capture.h"
#include "support/test_machine.h"

#ifndef _WIN32
#include <fstream>
#include <sstream>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::runtime {
namespace {

using test::LogCapture;
using test::LogEntry;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr const char* kVariables[] = {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH", "SYSTEMROOT"};

std::optional<std::string> ReadVariable(const char* name) {
  const char* value = std::getenv(name);  // as the process environment holds it
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void SetVariable(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
#else
  value ? setenv(name, value->c_str(), 1) : unsetenv(name);
#endif
}

WString CurrentDirectory() {
  WString text(GetCurrentDirectoryW(0, nullptr), 0);
  text.resize(GetCurrentDirectoryW(static_cast<DWORD>(text.size()), text.data()));
  return text;
}

// Windows' text for the codes these tests meet; under Wine, Wine's own.
std::string SystemText(DWORD code) {
  if (!test::WineDiffers("FormatMessage texts are Wine's own short texts")) {
    return code == ERROR_ACCESS_DENIED       ? "Access is denied."
           : code == ERROR_NOT_ENOUGH_MEMORY ? "Not enough memory resources are available to process this command."
           : code == ERROR_ENVVAR_NOT_FOUND  ? "The system could not find the environment option that was entered."
                                             : "";
  }
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                                      nullptr, code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = length != 0 ? std::string(text, length) : std::string();
  LocalFree(text);
  return result.substr(0, result.find_last_not_of("\r\n") + 1);
}

LogEntry Failure(const std::string& what, DWORD code) {
  return LogEntry{2, "[SymbolEngine::GetSymbolPath] Cannot get " + what + ", the function returns error: " +
                         SystemText(code) + ". code (" + std::to_string(code) + ")"};
}

// The reports of the example machine: both _NT_ variables are unset.
const std::vector<LogEntry>& UnsetSymbolVariables() {
  static const std::vector<LogEntry> reports = {Failure("env value for _NT_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND),
                                                Failure("env value for _NT_ALTERNATE_SYMBOL_PATH", ERROR_ENVVAR_NOT_FOUND)};
  return reports;
}

class SymbolPath : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) savedVariables_.push_back(ReadVariable(name));
    SetVariable("_NT_SYMBOL_PATH", std::nullopt);
    SetVariable("_NT_ALTERNATE_SYMBOL_PATH", std::nullopt);
    SetVariable("SYSTEMROOT", std::string("C:\\Windows"));
#ifndef _WIN32
    SetVariable("KVTR_DEBUG_OUTPUT", std::nullopt);
    KvtrEmu_SetModuleFileName(W("C:\\App\\setup.exe"));
#endif
    ASSERT_TRUE(test::TestMachine::MakeFolder(W("C:\\Work")));
    ASSERT_TRUE(SetCurrentDirectoryW(W("C:\\Work")));
  }
  void TearDown() override {
    SetCurrentDirectoryW(savedDirectory_.c_str());
    for (size_t i = 0; i < savedVariables_.size(); ++i) SetVariable(kVariables[i], savedVariables_[i]);
  }

  // The folder of the executable as the path shows it.
  static std::string ExecutableFolder() {
#ifdef _WIN32
    char name[MAX_PATH];
    const std::string executable(name, GetModuleFileNameA(nullptr, name, MAX_PATH));
    return executable.substr(0, executable.find_last_of('\\'));
#else
    return "C:\\App";
#endif
  }
  static std::string ExamplePath() { return "C:\\Work;" + ExecutableFolder() + ";C:\\Windows"; }

  // What the path computation gave in a roomy buffer.
  static std::string Path() {
    std::vector<char> buffer(SymbolEngine::kPathBytes, '#');
    EXPECT_EQ(buffer.data(), SymbolEngine::GetSymbolPath(buffer.data(), SymbolEngine::kPathBytes));
    return buffer.data();
  }

#ifndef _WIN32
  static std::string DebugOutput() {
    std::ifstream in(std::string(KvtrEmu_Prefix()) + "/debug-output.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
#endif

  const WString savedDirectory_ = CurrentDirectory();
  std::vector<std::optional<std::string>> savedVariables_;
  test::TestMachine machine_;
  LogCapture capture_;
};

TEST_F(SymbolPath, TheExampleMachinesEngineAnnouncesItsPathOnceAndOwnsItsProcessHandle) {
#ifndef _WIN32
  const unsigned outputsBefore = KvtrEmu_CallCount("OutputDebugStringA");
#endif
  HANDLE process = nullptr;
  {
    SymbolEngine engine;
    EXPECT_EQ(ExamplePath(), std::string(engine.symbolPath()));
    process = engine.process();
    ASSERT_NE(nullptr, process);
  }
  EXPECT_EQ(UnsetSymbolVariables(), capture_.Entries());
#ifndef _WIN32
  EXPECT_EQ("Symbols Path: C:\\Work;C:\\App;C:\\Windows\n", DebugOutput());
  EXPECT_EQ(outputsBefore + 3, KvtrEmu_CallCount("OutputDebugStringA"));
#endif
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(process)) << "the engine closes its handle";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // The smallest buffer of the example: the first 7 bytes and a terminator.
  char small[9];
  std::memset(small, '#', sizeof small);
  ASSERT_EQ(small, SymbolEngine::GetSymbolPath(small, 8));
  EXPECT_EQ(std::string("C:\\Work\0#", 9), std::string(small, 9));
}

TEST_F(SymbolPath, SymbolVariablesComeBetweenTheFolderAndTheSystemRoot) {
  SetVariable("_NT_SYMBOL_PATH", std::string("srv*C:\\Symbols*https://symbols.example"));
  SetVariable("_NT_ALTERNATE_SYMBOL_PATH", std::string("D:\\Alternate"));
  EXPECT_EQ("C:\\Work;" + ExecutableFolder() + ";srv*C:\\Symbols*https://symbols.example;D:\\Alternate;C:\\Windows",
            Path());
  EXPECT_TRUE(capture_.Entries().empty());
  // An empty variable has nothing to add and nothing failed.
  SetVariable("_NT_SYMBOL_PATH", std::string());
  capture_.Clear();
  EXPECT_EQ("C:\\Work;" + ExecutableFolder() + ";D:\\Alternate;C:\\Windows", Path());
  EXPECT_TRUE(capture_.Entries().empty());
}

TEST_F(SymbolPath, ASmallBufferGetsTheStartOfTheWholePathAndNoBufferNone) {
  const WString deeper = W("C:\\Work\\Deeper\\Still");
  ASSERT_TRUE(test::TestMachine::MakeFolder(deeper));
  ASSERT_TRUE(SetCurrentDirectoryW(deeper.c_str()));
  // Neither the directory nor the executable's name fits the smaller sizes.
  const std::string whole = "C:\\Work\\Deeper\\Still;" + ExecutableFolder() + ";C:\\Windows";
  const int wholeSize = static_cast<int>(whole.size());
  std::string announced;
  for (const int size : {1, 2, 8, 20, 21, wholeSize, wholeSize + 1, wholeSize + 2}) {
    SCOPED_TRACE(size);
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '#');
    ASSERT_EQ(buffer.data(), SymbolEngine::GetSymbolPath(buffer.data(), size));
    const size_t kept = std::min(whole.size(), static_cast<size_t>(size - 1));
    EXPECT_EQ(whole.substr(0, kept), std::string(buffer.data()));
    EXPECT_EQ(std::string(static_cast<size_t>(size) - kept, '\0'), std::string(buffer.data() + kept, size - kept));
    EXPECT_EQ('#', buffer[static_cast<size_t>(size)]);  // nothing beyond the size
    announced += "Symbols Path: " + whole + "\n";
  }
  // No buffer, no path: nothing is written or announced.
  char none[2] = {'#', '#'};
  EXPECT_EQ(nullptr, SymbolEngine::GetSymbolPath(nullptr, SymbolEngine::kPathBytes));
  EXPECT_EQ(nullptr, SymbolEngine::GetSymbolPath(none, 0));
  EXPECT_EQ(nullptr, SymbolEngine::GetSymbolPath(none, -1));
  EXPECT_EQ('#', none[0]);
  EXPECT_EQ(LogEntry({2, "SymbolEngine::GetSymbolPath Buffer is null"}), capture_.Entries().back());
#ifndef _WIN32
  EXPECT_EQ(announced, DebugOutput());
#endif
}

#ifndef _WIN32
// Linux only: the executable's name and the failing calls come from
// emulation control.
std::vector<LogEntry> Join(std::vector<LogEntry> first, const std::vector<LogEntry>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST_F(SymbolPath, TheFolderEndsBeforeTheLastSeparatorOrAfterAColon) {
  struct Case {
    const WCHAR* executable;
    const char* folder;  // nullptr: left out
  };
  const Case cases[] = {
      {W("D:setup.exe"), "D:"},
      {W("C:\\setup.exe"), "C:"},
      {W("C:/Tools/x86/setup.exe"), "C:/Tools/x86"},
      {W("\\\\server\\share\\setup.exe"), "\\\\server\\share"},
      {W("C:\\App\\"), "C:\\App"},
      {W("\\setup.exe"), nullptr},
      {W(":setup.exe"), nullptr},
      {W("setup.exe"), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(NarrowAscii(c.executable));
    KvtrEmu_SetModuleFileName(c.executable);
    EXPECT_EQ(c.folder != nullptr ? "C:\\Work;" + std::string(c.folder) + ";C:\\Windows" : "C:\\Work;C:\\Windows", Path());
  }
}

TEST_F(SymbolPath, EachFailingStepIsReportedAndLeftOut) {
  struct Arm {
    const char* service;
    unsigned nth;
    DWORD status;
  };
  struct Case {
    std::vector<Arm> arms;
    const char* path;
    std::vector<LogEntry> reports;
  };
  const LogEntry noSystemRoot = Failure("env value for SYSTEMROOT", ERROR_ENVVAR_NOT_FOUND);
  const Case cases[] = {
      {{{"GetCurrentDirectoryA", 1, ERROR_ACCESS_DENIED}},
       "C:\\App;C:\\Windows",
       Join({Failure("current folder name", ERROR_ACCESS_DENIED)}, UnsetSymbolVariables())},
      {{{"GetModuleFileNameA", 1, ERROR_NOT_ENOUGH_MEMORY}},
       "C:\\Work;C:\\Windows",
       Join({Failure("module file name", ERROR_NOT_ENOUGH_MEMORY)}, UnsetSymbolVariables())},
      {{{"GetEnvironmentVariableA", 3, ERROR_ENVVAR_NOT_FOUND}},
       "C:\\Work;C:\\App",
       Join(UnsetSymbolVariables(), {noSystemRoot})},
      // A code the system has no text for shows an empty text.
      {{{"GetCurrentDirectoryA", 1, 0x12345}},
       "C:\\App;C:\\Windows",
       Join({{2, "[SymbolEngine::GetSymbolPath] Cannot get current folder name, the function returns error: . code (74565)"}},
            UnsetSymbolVariables())},
      {{{"GetCurrentDirectoryA", 1, ERROR_ACCESS_DENIED},
        {"GetModuleFileNameA", 1, ERROR_ACCESS_DENIED},
        {"GetEnvironmentVariableA", 3, ERROR_ENVVAR_NOT_FOUND}},
       "",
       Join(Join({Failure("current folder name", ERROR_ACCESS_DENIED), Failure("module file name", ERROR_ACCESS_DENIED)},
                 UnsetSymbolVariables()),
            {noSystemRoot})},
  };
  std::string announced;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const Arm& arm : c.arms) KvtrEmu_FailCall(arm.service, arm.nth, arm.status);
    capture_.Clear();
    EXPECT_EQ(c.path, Path());
    EXPECT_EQ(c.reports, capture_.Entries());
    announced += "Symbols Path: " + std::string(c.path) + "\n";
  }
  // An empty path is announced all the same.
  EXPECT_EQ(announced, DebugOutput());
}
#endif

#ifdef _WIN32
// The child of the debugger test: a copy of this program named
// C:\App\setup.exe, started in C:\Work. It sets the example's variables
// itself: Wine gives a new process the system's SYSTEMROOT, whatever its
// parent had.
TEST(SymbolEngineChild, DISABLED_ConstructsTheEngine) {
  SetVariable("_NT_SYMBOL_PATH", std::nullopt);
  SetVariable("_NT_ALTERNATE_SYMBOL_PATH", std::nullopt);
  SetVariable("SYSTEMROOT", std::string("C:\\Windows"));
  SymbolEngine engine;
  EXPECT_STREQ("C:\\Work;C:\\App;C:\\Windows", engine.symbolPath());
}

TEST_F(SymbolPath, ADebuggerReadsTheAnnouncementAsThreeStrings) {
  ASSERT_TRUE(test::TestMachine::MakeFolder(W("C:\\App")));
  WCHAR self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  ASSERT_TRUE(CopyFileW(self, W("C:\\App\\setup.exe"), FALSE));
  std::vector<std::string> outputs;
  const DWORD exitCode = test::DebugChild(
      W("C:\\App\\setup.exe"),
      W("\"C:\\App\\setup.exe\" --gtest_also_run_disabled_tests --gtest_brief=1 "
        "--gtest_filter=SymbolEngineChild.DISABLED_ConstructsTheEngine"),
      W("C:\\Work"), outputs);
  DeleteFileW(W("C:\\App\\setup.exe"));
  EXPECT_EQ(0u, exitCode);
  EXPECT_EQ((std::vector<std::string>{"Symbols Path: ", "C:\\Work;C:\\App;C:\\Windows", "\n"}), outputs);
}
#endif

}  // namespace
}  // namespace kvtr::runtime
