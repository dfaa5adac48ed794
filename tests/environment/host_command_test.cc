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

}  // namespace
}  // namespace kvtr::test
