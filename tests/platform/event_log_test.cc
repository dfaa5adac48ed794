// The event log: a source registered on the local computer, events of each
// type with their insertion strings, and the source's deregistration.
#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

TEST(EventLog, EventsAreReportedUnderARegisteredSource) {
  TestMachine machine;
  const HANDLE source = RegisterEventSourceW(nullptr, W("kvtr event test"));
  ASSERT_NE(nullptr, source);
  const WCHAR* strings[] = {W("first\tline\r\nsecond \\ line"), W("two")};
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xEFFF2710, nullptr, 1, 0, strings, nullptr));
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0x6FFF7530, nullptr, 2, 0, strings, nullptr));
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 5, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
#ifndef _WIN32
  // One record a line, the texts escaped.
  const std::string log = ReadHostFile(std::string(KvtrEmu_Prefix()) + "/eventlog.txt");
  std::vector<std::string> records;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = log.substr(start, end - start);
    EXPECT_EQ(19u, line.find('\t'));  // "YYYY-MM-DD hh:mm:ss"
    records.push_back(line.substr(20));
  }
  EXPECT_EQ((std::vector<std::string>{"kvtr event test\t1\t0xEFFF2710\tfirst\\tline\\r\\nsecond \\\\ line",
                                      "kvtr event test\t4\t0x6FFF7530\tfirst\\tline\\r\\nsecond \\\\ line\ttwo",
                                      "kvtr event test\t2\t0x00000005"}),
            records);
  // A handle that was deregistered, or is not a source, is refused.
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(DeregisterEventSource(source));
#endif
}

}  // namespace
}  // namespace kvtr::test
