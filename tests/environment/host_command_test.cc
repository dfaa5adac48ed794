// "kvtr-setup env": the host program writes the whole report of this
// machine, one "[level] function:line: message" line each, and ends with 0.
// Run as a child process: natively on Linux, the Windows build under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "support/test_machine.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

std::string HostCommand() {
#ifdef _WIN32
  return "\"" + ProgramBesideThis("kvtr-setup.exe") + "\" env";
#else
  return std::string("'") + KVTR_SETUP + "' env";
#endif
}

TEST(HostCommand, EnvWritesTheWholeReportOneLineEach) {
  TestMachine machine;
  FILE* output = popen(HostCommand().c_str(), "r");
  ASSERT_NE(nullptr, output);
  std::vector<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines.push_back(line);
  }
  int status = pclose(output);
#ifndef _WIN32
  status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  EXPECT_EQ(0, status);
  ASSERT_GT(lines.size(), 20u);
  const std::regex form(R"(\[([1-4])\] ([A-Za-z_:]+):(\d+): (.*))");
  std::string processId;
  std::vector<std::string> sections;
  for (const std::string& line : lines) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, form)) << line;
    const std::string message = parts[4];
    if (message.rfind("[ENV] Current Process id: ", 0) == 0) processId = message.substr(26);
    for (const char* section : {"[ENV] Current Process: ", "[ENV] Computer Host Name: ", "[ENV] Number of Processors: ",
                                "[ENV] Total HD bytes: ", "[ENV] Local Time Zone: ", "[ENV] Running Process: "}) {
      if (message.rfind(section, 0) == 0 && (sections.empty() || sections.back() != section)) {
        sections.push_back(section);
      }
    }
  }
  EXPECT_EQ((std::vector<std::string>{"[ENV] Current Process: ", "[ENV] Computer Host Name: ",
                                      "[ENV] Number of Processors: ", "[ENV] Total HD bytes: ",
                                      "[ENV] Local Time Zone: ", "[ENV] Running Process: "}),
            sections);
  // The host itself is among the running processes, with its id.
  ASSERT_FALSE(processId.empty());
  const std::string self = std::string(RunningUnderWine() ? "kvtr-setup.exe" : "kvtr-setup") + ", ID: " + processId;
  bool found = false;
  for (const std::string& line : lines) found = found || line.find("[ENV] Running Process: " + self) != std::string::npos;
  EXPECT_TRUE(found) << self;
  // The host starts Winsock, so the addresses are there.
  found = false;
  for (const std::string& line : lines) found = found || line.find("[ENV] Local machine IP Address = ") != std::string::npos;
  EXPECT_TRUE(found);
}

#ifndef _WIN32
// The emulated machine's event log, listed as an event viewer lists it.
// (On Windows the system's own viewer shows the real log.)
TEST(HostCommand, EventlogListsTheRecordsOldestFirst) {
  TestMachine machine;
  const HANDLE source = RegisterEventSourceW(nullptr, W("kvtr-viewer-test"));
  ASSERT_NE(nullptr, source);
  const WCHAR* first[] = {W("first\tentry")};
  const WCHAR* second[] = {W("two"), W("strings")};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xEFFF2710, nullptr, 1, 0, first, nullptr));
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 0xAFFF4E20, nullptr, 2, 0, second, nullptr));
  DeregisterEventSource(source);
  FILE* output = popen((std::string("'") + KVTR_SETUP + "' --prefix '" + KvtrEmu_Prefix() + "' eventlog").c_str(), "r");
  ASSERT_NE(nullptr, output);
  std::vector<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line.size() > 21 ? line.substr(21) : line);  // after the date and time
  }
  EXPECT_EQ(0, pclose(output));
  EXPECT_EQ((std::vector<std::string>{"Source                    Type         Event ID  Description",
                                      "kvtr-viewer-test          Error           10000  first\tentry",
                                      "kvtr-viewer-test          Warning         20000  two | strings", "2 events"}),
            lines);
}
#endif

// --backup reads the keys through the registry API, so the Windows host
// writes it from the real registry (here Wine's) as the Linux host does
// from the emulated one.
TEST(HostCommand, ABackupHoldsTheSharedListsAndRemovesTheLegacyKeysFirst) {
  TestMachine machine;
  HKEY shared = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
                                           0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shared, nullptr));
  const DWORD count = 7;
  const char* const probe = "C:\\kvtr-tests\\backup-probe.dll";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(shared, probe, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), 4));
  const WString file = machine.ScratchFolder() + W("\\backup.reg");
#ifdef _WIN32
  char path[MAX_PATH];
  WideCharToMultiByte(CP_ACP, 0, file.c_str(), -1, path, MAX_PATH, nullptr, nullptr);
  // cmd takes the first and the last quote off a line with more than two.
  const std::string command = "\"\"" + ProgramBesideThis("kvtr-setup.exe") + "\" --backup \"" + path +
                              "\" uninstall-old-counters kvtr-no-such-service > NUL 2>&1\"";
#else
  char path[4096];
  KvtrEmu_HostPath(file.c_str(), path, sizeof path);
  const std::string command = std::string("'") + KVTR_SETUP + "' --prefix '" + KvtrEmu_Prefix() + "' --backup '" +
                              path + "' uninstall-old-counters kvtr-no-such-service >/dev/null 2>&1";
#endif
  std::system(command.c_str());
  RegDeleteValueA(shared, probe);
  RegCloseKey(shared);

  // regedit's form: UTF-16LE with its mark, CR LF.
  const std::string bytes = TestMachine::ReadFile(file);
  ASSERT_EQ(std::string("\xFF\xFE", 2), bytes.substr(0, 2));
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
  EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\"
                                         "{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}]\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
                                         "kvtr-no-such-service\\Performance]\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                         "SharedDLLs]\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n\"C:\\\\kvtr-tests\\\\backup-probe.dll\"=dword:00000007\r\n"));
}

}  // namespace
}  // namespace kvtr::test
