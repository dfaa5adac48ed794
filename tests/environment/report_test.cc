// The environment report as a whole and its process and system sections,
// through a recording sink. The facts are compared with what the test reads
// from the machine itself: /proc, uname, statvfs and getpwuid on Linux, the
// Win32 answers under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "common_utils/environment/report_environment.h"
#include "environment/report_recorder.h"
#include "support/log_capture.h"
#include "support/test_machine.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

using environment::ReportEnvironment;

std::string OwnPath() {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return NarrowAscii(WString(path, length));
}

// The number after `label` in a message, or -1.
long long NumberAfter(const std::string& message, const std::string& label) {
  const size_t at = message.find(label);
  if (at == std::string::npos) return -1;
  return std::strtoll(message.c_str() + at + label.size(), nullptr, 10);
}

// Sets the C runtime's time zone for one scope.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(zone);
  }
  ~TimeZone() { Set(hadOld_ ? old_.c_str() : nullptr); }

 private:
  static void Set(const char* zone) {
#ifdef _WIN32
    _putenv_s("TZ", zone != nullptr ? zone : "");
#else
    if (zone != nullptr) setenv("TZ", zone, 1);
    else unsetenv("TZ");
#endif
  }
  bool hadOld_ = false;
  std::string old_;
};

class EnvironmentReport : public testing::Test {
 protected:
  TestMachine machine_;
  ReportRecorder recorder_;
};

TEST_F(EnvironmentReport, SectionsComeInOrderEachThroughItsFunction) {
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportEnvironmentVersions();
  const std::vector<ReportedLine> lines = recorder_.Lines();
  ASSERT_GT(lines.size(), 20u);
  const char* order[] = {"[ENV] Current Process: ",        "[ENV] Current Process logged on as: ",
                         "[ENV] Current Process id: ",     "[ENV] Computer Host Name: ",
                         "[ENV] Processor Identifier: ",   "[ENV] Number of Processors: ",
                         "[ENV] Total size of physical memory: ", "[ENV] Total HD bytes: ",
                         "[ENV] Local Time Zone: ",
                         "[ENV] Running Process: "};
  int previous = -1;
  for (const char* prefix : order) {
    const int index = recorder_.IndexOf(prefix);
    EXPECT_GT(index, previous) << prefix;
    previous = index;
  }
  // The first three lines, exactly.
  EXPECT_EQ("[ENV] Current Process: " + OwnPath(), lines[0].message);
  EXPECT_EQ("[ENV] Current Process id: " + std::to_string(GetCurrentProcessId()), lines[2].message);
  // Every line is short enough for the line buffer, and each function
  // keeps one context block whose first byte reads "3".
  std::map<std::string, void*> contexts;
  for (const ReportedLine& line : lines) {
    EXPECT_LE(line.message.size(), 510u) << line;
    EXPECT_GT(line.line, 0) << line;
    ASSERT_NE(nullptr, line.context) << line;
    EXPECT_EQ('3', *static_cast<const char*>(line.context)) << line;
    auto [at, added] = contexts.emplace(line.function, line.context);
    EXPECT_EQ(at->second, line.context) << line;
    if (line.function == "provider_list") {
      EXPECT_EQ(4, line.level) << line;
    } else {
      EXPECT_EQ(0, line.message.compare(0, 6, "[ENV] ")) << line;
    }
  }
  for (const char* function : {"ReportEnvironment::ReportEnvironmentVersions", "ReportEnvironment::ReportSystemInfo",
                               "ReportEnvironment::ReportSystemMemoryInfo", "ReportEnvironment::ReportCurrentProcesses"}) {
    EXPECT_EQ(1u, contexts.count(function)) << function;
  }
}

TEST_F(EnvironmentReport, ProcessAccountAndHostAreTheMachines) {
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportEnvironmentVersions();
  ReportedLine account;
  ASSERT_TRUE(recorder_.Find("[ENV] Current Process logged on as: ", &account));
  const std::regex accountForm(
      R"(\[ENV\] Current Process logged on as: ([^\\]+)\\(.+), Start Time: ([A-Z][a-z]{2} \d\d \d{4} \d\d:\d\d:\d\d), Uptime \(seconds\): (\d+))");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(account.message, parts, accountForm)) << account.message;
  EXPECT_LE(std::stoi(parts[4]), 5);
  ReportedLine host;
  ASSERT_TRUE(recorder_.Find("[ENV] Computer Host Name: ", &host));
  const std::regex hostForm(
      R"(\[ENV\] Computer Host Name: (.+), OS Version: (\d+)\.(\d+), Build number (\d+), ServicePack Major (\d+), ServicePack Minor (\d+))");
  std::smatch version;
  ASSERT_TRUE(std::regex_match(host.message, version, hostForm)) << host.message;
#ifndef _WIN32
  // The account is the effective user's, its domain the computer's NetBIOS
  // name; the version the running kernel's.
  std::string computer = version[1];
  for (char& c : computer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(computer.substr(0, 15), parts[1].str());
  EXPECT_EQ(getpwuid(geteuid())->pw_name, parts[2].str());
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  EXPECT_EQ(std::string(name).substr(0, std::string(name).find('.')), version[1].str());
  utsname kernel{};
  ASSERT_EQ(0, uname(&kernel));
  unsigned major = 0, minor = 0, build = 0;
  std::sscanf(kernel.release, "%u.%u.%u", &major, &minor, &build);
  EXPECT_EQ(std::to_string(major), version[2].str());
  EXPECT_EQ(std::to_string(minor), version[3].str());
  EXPECT_EQ(std::to_string(build), version[4].str());
#else
  WCHAR user[256] = {};
  DWORD userChars = 256;
  ASSERT_TRUE(GetUserNameW(user, &userChars));
  EXPECT_EQ(NarrowAscii(user), parts[2].str());
#endif
}

TEST_F(EnvironmentReport, SystemFiguresAreTheMachines) {
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportSystemInfo();
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  ASSERT_TRUE(recorder_.Find("[ENV] Number of Processors: "));
  EXPECT_EQ("[ENV] Number of Processors: " + std::to_string(system.dwNumberOfProcessors),
            recorder_.Messages("[ENV] Number of Processors: ")[0]);
  // The share of memory in use is a percentage, or not written at all (the
  // i386 Wine's figures would give more than 100).
  for (const std::string& line : recorder_.Messages("[ENV] ")) {
    if (line.find(" percent of memory in use.") != std::string::npos) {
      EXPECT_LE(NumberAfter(line, "] "), 100) << line;
    }
  }
  const long long totalKb = NumberAfter(recorder_.Messages("[ENV] Total size of physical memory: ")[0], ": ");
  const long long diskTotal = NumberAfter(recorder_.Messages("[ENV] Total HD bytes: ")[0], "bytes: ");
  const long long diskFree = NumberAfter(recorder_.Messages("[ENV] Total HD bytes: ")[0], "free bytes = ");
  const std::vector<std::string> upTime = recorder_.Messages("[ENV] System up time: ");
  if (WineDiffers("HKEY_PERFORMANCE_DATA holds no System object")) {
    EXPECT_TRUE(upTime.empty());
    EXPECT_EQ(std::vector<std::string>{"[ENV] Could not get System up time information. [-1]"},
              recorder_.Messages("[ENV] Could not get System up time"));
    return;
  }
  ASSERT_EQ(1u, upTime.size());
  unsigned days = 0, hours = 0, minutes = 0, seconds = 0;
  ASSERT_EQ(4, std::sscanf(upTime[0].c_str(), "[ENV] System up time: %u days %u hrs %u mins %u secs", &days, &hours,
                           &minutes, &seconds));
  EXPECT_LT(hours, 24u);
  EXPECT_LT(minutes, 60u);
  EXPECT_LT(seconds, 60u);
  const double reportedUpTime = days * 86400.0 + hours * 3600.0 + minutes * 60.0 + seconds;
#ifndef _WIN32
  EXPECT_EQ(static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)), system.dwNumberOfProcessors);
  const std::string meminfo = ReadHostFile("/proc/meminfo");
  const long long hostKb = std::strtoll(meminfo.c_str() + meminfo.find("MemTotal:") + 9, nullptr, 10);
  EXPECT_NEAR(static_cast<double>(hostKb), static_cast<double>(totalKb), hostKb * 0.01);
  // The current drive is the root of the working directory's file system.
  struct statvfs volume {};
  ASSERT_EQ(0, statvfs("/", &volume));
  EXPECT_EQ(static_cast<long long>(volume.f_blocks) * static_cast<long long>(volume.f_frsize), diskTotal);
  EXPECT_NEAR(static_cast<double>(volume.f_bfree) * static_cast<double>(volume.f_frsize), static_cast<double>(diskFree),
              0.01 * static_cast<double>(diskTotal));
  double hostUpTime = 0;
  std::sscanf(ReadHostFile("/proc/uptime").c_str(), "%lf", &hostUpTime);
  EXPECT_NEAR(hostUpTime, reportedUpTime, 2.0);
#else
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_NEAR(static_cast<double>(memory.ullTotalPhys / 1024), static_cast<double>(totalKb), totalKb * 0.01);
  ULARGE_INTEGER caller{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExA(nullptr, &caller, &total, &free));
  EXPECT_EQ(static_cast<long long>(total.QuadPart), diskTotal);
  EXPECT_NEAR(static_cast<double>(GetTickCount64()) / 1000.0, reportedUpTime, 2.0);
#endif
  EXPECT_LE(diskFree, diskTotal);
  const std::vector<std::string> privateMemory = recorder_.Messages("[ENV] Size of private memory of the QMT process: ");
  ASSERT_EQ(1u, privateMemory.size());
  if (!WineDiffers("GetProcessMemoryInfo gives a PrivateUsage of 0")) {
    EXPECT_GT(NumberAfter(privateMemory[0], "process: "), 0);
  }
}

TEST_F(EnvironmentReport, TimeZoneOffsetIsWrittenAsGmtPlusOrMinus) {
  struct Case {
    const char* zone;
    const char* line;
  };
  const Case cases[] = {
      {"IST-5:30", "[ENV] Local Time Zone: IST (GMT+05:30)"},
      {"EST5", "[ENV] Local Time Zone: EST (GMT-05:00)"},
      {"UTC0", "[ENV] Local Time Zone: UTC (GMT+00:00)"},
  };
  for (const Case& c : cases) {
    TimeZone zone(c.zone);
    recorder_.Clear();
    ReportEnvironment report(&ReportRecorder::Sink);
    report.ReportSystemInfo();
    const std::vector<std::string> lines = recorder_.Messages("[ENV] Local Time Zone: ");
    ASSERT_EQ(1u, lines.size()) << c.zone;
    std::string expected = c.line;
    if (WineDiffers("msvcrt's _tzset keeps two letters of the zone name in TZ")) {
      expected.erase(expected.find(" (GMT") - 1, 1);
    }
    EXPECT_EQ(expected, lines[0]);
  }
}

TEST_F(EnvironmentReport, RunningProcessesIncludeThisOne) {
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportCurrentProcesses();
  std::string own = OwnPath();
  own = own.substr(own.find_last_of("\\/") + 1);
  const std::string expected = "[ENV] Running Process: " + own + ", ID: " + std::to_string(GetCurrentProcessId());
  const std::vector<std::string> lines = recorder_.Messages("[ENV] Running Process: ");
  EXPECT_GT(lines.size(), 1u);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), expected)) << expected;
  for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find(", ID: 0")) << line;
}

// Without tool-help the processes come from the performance data: the
// Process object's instances, named as Windows names them (no ".exe").
TEST_F(EnvironmentReport, RunningProcessesFromThePerformanceData) {
  ReportEnvironment report(&ReportRecorder::Sink);
#ifndef _WIN32
  KvtrEmu_HideProcedure("Process32NextW", TRUE);
  report.ReportCurrentProcesses();
  KvtrEmu_HideProcedure("Process32NextW", FALSE);
  for (const ReportedLine& line : recorder_.Lines()) {
    EXPECT_EQ("ReportEnvironment::ReportCurrentProcessesNT", line.function);
  }
#else
  report.ReportCurrentProcessesNT();
#endif
  std::string own = OwnPath();
  own = own.substr(own.find_last_of("\\/") + 1);
  if (own.size() > 4 && own.compare(own.size() - 4, 4, ".exe") == 0) own.resize(own.size() - 4);
  const std::string expected = "[ENV] Running Process: " + own + ", ID: " + std::to_string(GetCurrentProcessId());
  const std::vector<std::string> lines = recorder_.Messages("[ENV] Running Process: ");
  if (WineDiffers("HKEY_PERFORMANCE_DATA holds no Process object")) {
    EXPECT_TRUE(lines.empty());
    return;
  }
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), expected)) << expected;
}

#ifndef _WIN32
// These cases shape the machine with the emulation's controls.
TEST_F(EnvironmentReport, UpTimeIsWrittenInDaysHoursMinutesAndSeconds) {
  struct Case {
    LONGLONG seconds;
    const char* line;
  };
  const Case cases[] = {
      {90061, "[ENV] System up time: 1 days 01 hrs 01 mins 01 secs"},
      {59, "[ENV] System up time: 0 days 00 hrs 00 mins 59 secs"},
      {0, "[ENV] Could not get System up time information. [0]"},
  };
  for (const Case& c : cases) {
    KvtrEmu_SetSystemUpTime(c.seconds);
    recorder_.Clear();
    ReportEnvironment report(&ReportRecorder::Sink);
    report.ReportSystemInfo();
    EXPECT_TRUE(recorder_.Find(c.line)) << c.line;
  }
  KvtrEmu_ClearSystemUpTime();
  // Performance data that cannot be read: the error line, then -1.
  recorder_.Clear();
  KvtrEmu_FailCall("RegQueryValueExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, environment::GetUpTimeSecs(&ReportRecorder::Sink));
  const std::vector<ReportedLine> lines = recorder_.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("[ENV] Error occurred while collecting performance data from the registry for System uptime",
            lines[0].message);
  EXPECT_EQ("GetUpTimeSecs", lines[0].function);
  EXPECT_EQ(3, lines[0].level);

  // A source that always wants more: the buffer grows by 1 KB, 2 KB, 4 KB,
  // ... from its 8 KB, and the asking ends before it would pass 64 MB.
  KvtrEmu_Reset();
  for (unsigned n = 1; n <= 1000; ++n) KvtrEmu_FailCall("RegQueryValueExW", n, ERROR_MORE_DATA);
  recorder_.Clear();
  EXPECT_EQ(-1, environment::GetUpTimeSecs(&ReportRecorder::Sink));
  const unsigned asked = KvtrEmu_CallCount("RegQueryValueExW");
  KvtrEmu_Reset();
  EXPECT_EQ(16u, asked);
  EXPECT_TRUE(recorder_.Find("[ENV] Error occurred while collecting performance data from the registry for System uptime"));
}

TEST_F(EnvironmentReport, MissingProcessorKeyEndsTheSystemSection) {
  ASSERT_TRUE(KvtrEmu_DenyKeyAccess(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                    KEY_QUERY_VALUE));
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportEnvironmentVersions();
  KvtrEmu_Reset();
  const std::vector<ReportedLine> lines = recorder_.Lines();
  const int at = recorder_.IndexOf("[ENV] Cannot open CPU config registry key");
  ASSERT_GE(at, 0);
  EXPECT_EQ("[ENV] Cannot open CPU config registry key: HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
            lines[at].message);
  EXPECT_EQ(1, lines[at].level);
  EXPECT_EQ("ReportEnvironment::ReportSystemInfo", lines[at].function);
  for (const char* absent : {"[ENV] Number of Processors", "[ENV] Total size of physical memory", "[ENV] Total HD",
                             "[ENV] System up time", "[ENV] Local Time Zone", "[ENV] Processor"}) {
    EXPECT_FALSE(recorder_.Find(absent)) << absent;
  }
  // The report goes on with the network stack.
  ASSERT_LT(static_cast<size_t>(at + 1), lines.size());
  EXPECT_EQ("[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information",
            lines[at + 1].message);
}

TEST_F(EnvironmentReport, OlderSystemsFallBackToTheBasicMemoryAndDiskCalls) {
  ReportEnvironment report(&ReportRecorder::Sink);
  report.ReportSystemInfo();
  const std::vector<std::string> extended = recorder_.Messages("[ENV] Total size of physical memory: ");
  const std::vector<std::string> disk = recorder_.Messages("[ENV] Total HD bytes: ");
  ASSERT_EQ(1u, disk.size());
  recorder_.Clear();
  KvtrEmu_HideProcedure("GlobalMemoryStatusEx", TRUE);
  KvtrEmu_HideProcedure("GetDiskFreeSpaceExA", TRUE);
  report.ReportSystemInfo();
  KvtrEmu_Reset();
  // The six sizes without the load percentage, then the private memory.
  int memoryLines = 0;
  for (const ReportedLine& line : recorder_.Lines()) {
    if (line.function != "ReportEnvironment::ReportSystemMemoryInfo") continue;
    ++memoryLines;
    EXPECT_EQ(std::string::npos, line.message.find("percent of memory")) << line;
  }
  EXPECT_EQ(7, memoryLines);
  const std::vector<std::string> basic = recorder_.Messages("[ENV] Total size of physical memory: ");
  ASSERT_EQ(1u, basic.size());
  EXPECT_NEAR(static_cast<double>(NumberAfter(extended[0], ": ")), static_cast<double>(NumberAfter(basic[0], ": ")),
              0.001 * static_cast<double>(NumberAfter(extended[0], ": ")));
  // The cluster figures give the same total.
  const std::vector<std::string> clusters = recorder_.Messages("[ENV] Total HD bytes: ");
  ASSERT_EQ(1u, clusters.size());
  EXPECT_EQ(NumberAfter(disk[0], "bytes: "), NumberAfter(clusters[0], "bytes: "));
}
#endif

TEST(EnvironmentSink, DefaultSinkHandsLinesToTheLogger) {
  LogCapture capture;
  environment::DefaultEnvironmentSink(2, nullptr, nullptr, nullptr, W("[ENV] a line with 100% in it"), "f", 1,
                                      nullptr);
  environment::DefaultEnvironmentSink(3, nullptr, nullptr, nullptr, nullptr, "f", 2, nullptr);
  ASSERT_EQ(1u, capture.Entries().size());
  EXPECT_EQ((LogEntry{2, "[ENV] a line with 100% in it"}), capture.Entries()[0]);
  // With no report, the memory lines go the same way.
  capture.Clear();
  ReportEnvironment::ReportSystemMemoryInfo(nullptr);
  const std::vector<LogEntry> entries = capture.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(0u, entries[0].text.find("[ENV] ")) << entries[0];
}

}  // namespace
}  // namespace kvtr::test
