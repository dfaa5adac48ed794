// Trace file names in both schemes, the next sequence number from the
// files that exist, missing folders created, and old trace files deleted by
// their file times.
#include <gtest/gtest.h>

#include <string>

#include "logger/logger_probe.h"
#include "support/test_machine.h"

namespace kvtr::logger {
namespace {

using test::TestMachine;

// Local midnight of the date, as a file time.
FILETIME FileTimeOfDate(int year, int month, int day) {
  std::tm date{};
  date.tm_year = year - 1900;
  date.tm_mon = month - 1;
  date.tm_mday = day;
  date.tm_isdst = -1;
  const uint64_t units = static_cast<uint64_t>(std::mktime(&date)) * 10000000 + 116444736000000000;
  return FILETIME{static_cast<DWORD>(units & 0xFFFFFFFFu), static_cast<DWORD>(units >> 32)};
}

// Sets a file's or folder's creation and last-write times.
bool SetTimes(const WString& path, const FILETIME& creation, const FILETIME& lastWrite) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const BOOL set = SetFileTime(file, &creation, nullptr, &lastWrite);
  CloseHandle(file);
  return set != FALSE;
}

bool Exists(const WString& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

WString Computer() {
  wchar name[256] = {};
  DWORD size = 256;
  EXPECT_TRUE(GetComputerNameExW(ComputerNameDnsHostname, name, &size));
  WString computer = WString(name).substr(0, 32);
  CharUpperBuffW(computer.data(), static_cast<DWORD>(computer.size()));
  return computer;
}

class TraceFileNameTest : public ::testing::Test {
 protected:
  WString Folder() const { return machine_.ScratchFolder(); }
  WString Path(const WString& name) const { return Folder() + W("\\") + name; }
  bool Touch(const WString& name) const { return TestMachine::WriteFile(Path(name), "x"); }

  TestMachine machine_;
};

TEST_F(TraceFileNameTest, SimpleNamesDecorateTheConfiguredPath) {
  ASSERT_TRUE(Touch(W("trace20110307_000.txt")));
  ASSERT_TRUE(Touch(W("trace20110307_001.txt")));
  ASSERT_TRUE(Touch(W("Trace20110307_007X.txt")));  // not three characters
  const struct {
    const wchar* path;
    bool date;
    int32_t instance;
    bool roll;
    bool forced;
    const wchar* expected;
  } kCases[] = {
      {W("trace.txt"), false, 0, false, false, W("trace.txt")},
      {W("trace.txt"), true, 0, false, false, W("trace20110307.txt")},
      {W("trace.txt"), true, 2, false, false, W("trace-002-20110307.txt")},
      {W("trace.txt"), false, 5, false, false, W("trace-005.txt")},
      {W("trace"), true, 0, false, false, W("trace20110307")},
      {W("trace.txt"), true, 0, true, false, W("trace20110307_002.txt")},
      {W("trace.txt"), true, 0, false, true, W("trace20110307_002.txt")},
      {W("other.txt"), true, 0, true, false, W("other20110307_000.txt")},
      {W("trace.txt"), false, 0, true, false, W("trace_000.txt")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(NarrowAscii(c.expected));
    LoggerSettings settings;
    settings.traceFilePath = Path(c.path);
    settings.dateInFileName = c.date;
    settings.instanceNumber = c.instance;
    settings.rollToNewFile = c.roll;
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    EXPECT_EQ(Path(c.expected), DebugLoggerProbe(logger).ChooseName(2011, 3, 7, c.forced));
  }
}

TEST_F(TraceFileNameTest, StructuredNamesAndTheirSequence) {
  const WString computer = Computer();
  const struct {
    bool date, daily, roll;
    const wchar* existing;  // relative to the folder; null for none
    WString expected;
  } kCases[] = {
      {false, false, false, nullptr, W("APP_") + computer + W("_Svc_03_0001.txt")},
      {false, false, true, nullptr, W("APP_") + computer + W("_Svc_03_0001.txt")},
      {false, false, false, W("X_"), W("APP_") + computer + W("_Svc_03_0007.txt")},
      {false, false, true, W("X_"), W("APP_") + computer + W("_Svc_03_0008.txt")},
      {true, false, false, nullptr, W("APP_") + computer + W("_Svc_03_20110307_0001.txt")},
      {true, true, false, nullptr, W("20110307\\APP_") + computer + W("_Svc_03_20110307_0001.txt")},
      {false, true, true, nullptr, W("20110307\\APP_") + computer + W("_Svc_03_0001.txt")},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(NarrowAscii(c.expected));
    const WString folder = Path(WidenAscii("case" + std::to_string(n++)));
    ASSERT_TRUE(TestMachine::MakeFolder(folder));
    if (c.existing != nullptr) {
      // Another prefix counts: the mask puts "*" in its place.
      ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\") + c.existing + computer + W("_Svc_03_0007.txt"), "x"));
      ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\APP_") + computer + W("_Other_03_0009.txt"), "x"));
    }
    LoggerSettings settings;
    settings.traceFilePath = W("unused.txt");
    settings.structuredNames = true;
    settings.traceDirectory = folder;
    settings.traceFilePrefix = W("APP_");
    settings.componentName = W("Svc");
    settings.instanceNumber = 3;
    settings.dateInFileName = c.date;
    settings.dailyFolders = c.daily;
    settings.rollToNewFile = c.roll;
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    EXPECT_EQ(folder + W("\\") + c.expected, DebugLoggerProbe(logger).ChooseName(2011, 3, 7, false));
  }
}

TEST_F(TraceFileNameTest, OpeningCreatesTheDailyFolder) {
  LoggerSettings settings;
  settings.traceFilePath = W("unused.txt");
  settings.structuredNames = true;
  settings.traceDirectory = Path(W("deep\\logs"));
  settings.traceFilePrefix = W("APP_");
  settings.componentName = W("Svc");
  settings.dateInFileName = true;
  settings.dailyFolders = true;
  settings.traceLevel = 2;
  settings.reportEnvironment = false;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  ASSERT_TRUE(probe.Open());
  SYSTEMTIME today;
  GetLocalTime(&today);
  char day[16];
  std::snprintf(day, sizeof day, "%04d%02d%02d", today.wYear, today.wMonth, today.wDay);
  const WString expected = settings.traceDirectory + W("\\") + WidenAscii(day) + W("\\APP_") + Computer() +
                           W("_Svc_00_") + WidenAscii(day) + W("_0001.txt");
  EXPECT_EQ(expected, probe.fileName());
  probe.Close();
  EXPECT_TRUE(Exists(expected));
}

TEST_F(TraceFileNameTest, OldTraceFilesAreDeletedByTheirTimes) {
  const FILETIME old = FileTimeOfDate(2011, 3, 1);
  const FILETIME recent = FileTimeOfDate(2011, 3, 6);
  // Simple scheme: by last-write time, for dated and numbered names.
  const struct {
    const wchar* name;
    FILETIME written;
    bool kept;
  } kSimple[] = {
      {W("trace20110301.txt"), old, false},      {W("trace20110301_004.txt"), old, false},
      {W("trace20110306.txt"), recent, true},    {W("TRACEabcdefgh.TXT"), old, false},
      {W("trace.txt"), old, true},               {W("trace2011030.txt"), old, true},
  };
  for (const auto& f : kSimple) {
    ASSERT_TRUE(Touch(f.name));
    ASSERT_TRUE(SetTimes(Path(f.name), f.written, f.written));
  }
  LoggerSettings settings;
  settings.traceFilePath = Path(W("trace.txt"));
  settings.dateInFileName = true;
  settings.maxDailyFileAge = 2;
  DebugLogger simple;
  ASSERT_TRUE(simple.Configure(settings));
  EXPECT_EQ(Path(W("trace20110307.txt")), DebugLoggerProbe(simple).ChooseName(2011, 3, 7, false));
  for (const auto& f : kSimple) EXPECT_EQ(f.kept, Exists(Path(f.name))) << NarrowAscii(f.name);

  // Structured: creation time inside dated folders, last-write time in the
  // directory itself; a dated folder that still holds files stays.
  const WString c = Computer();
  const WString dir = Path(W("structured"));
  const struct {
    WString name;
    FILETIME created, written;
    bool kept;
  } kStructured[] = {
      {W("20110301\\APP_") + c + W("_Svc_00_20110301_0001.txt"), old, old, false},
      {W("20110302\\APP_") + c + W("_Svc_00_20110302_0001.txt"), old, recent, false},
      {W("20110302\\notes.txt"), old, old, true},
      {W("20110303\\APP_") + c + W("_Svc_00_20110303_0001.txt"), recent, old, true},
      {W("APP_") + c + W("_Svc_00_20110301_0002.txt"), recent, old, false},
      {W("APP_") + c + W("_Svc_00_20110301_0003.txt"), old, recent, true},
      {W("APP_") + c + W("_Other_00_20110301_0001.txt"), old, old, true},
  };
  for (const auto& f : kStructured) {
    const WString path = dir + W("\\") + f.name;
    ASSERT_TRUE(TestMachine::MakeFolder(path.substr(0, path.rfind('\\'))));
    ASSERT_TRUE(TestMachine::WriteFile(path, "x"));
    ASSERT_TRUE(SetTimes(path, f.created, f.written));
  }
  settings.structuredNames = true;
  settings.traceDirectory = dir;
  settings.traceFilePrefix = W("APP_");
  settings.componentName = W("Svc");
  DebugLogger structured;
  ASSERT_TRUE(structured.Configure(settings));
  DebugLoggerProbe(structured).ChooseName(2011, 3, 7, false);
  const bool creationTimesKept = !test::WineDiffers("SetFileTime does not keep creation times on Linux files");
  for (const auto& f : kStructured) {
    const bool byCreation = f.name.find('\\') != WString::npos;
    if (byCreation && !creationTimesKept) continue;
    EXPECT_EQ(f.kept, Exists(dir + W("\\") + f.name)) << NarrowAscii(f.name);
  }
  if (creationTimesKept) {
    EXPECT_FALSE(Exists(dir + W("\\20110301")));
    EXPECT_TRUE(Exists(dir + W("\\20110302")));
  }
}

}  // namespace
}  // namespace kvtr::logger
