// The syslog sender against a real rsyslog on loopback (started by the
// test run; KVTR_SYSLOG_DIR names its folder): the server list, the exact
// frames over UDP and TCP, and a server that goes away and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger_probe.h"
#include "logger/syslog_peer.h"
#include "support/log_capture.h"
#include "support/test_machine.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::logger {
namespace {

using test::TestMachine;

class SyslogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerFile("ports").empty()) GTEST_SKIP() << "no syslog server: KVTR_SYSLOG_DIR is not set";
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
  }
  void TearDown() override { WSACleanup(); }
  TestMachine machine_;
};

TEST_F(SyslogTest, TheServerListGivesOneRecordPerEntry) {
  const struct {
    const char* list;
    std::vector<std::string> expected;  // "host port type protocol"
  } kCases[] = {
      {"10.0.0.5", {"10.0.0.5 514 2 0"}},
      {"logs:1468/TCP,10.0.0.6:515", {"logs 1468 1 6", "10.0.0.6 515 2 0"}},
      {"a:514/tcpx", {"a 514 2 0"}},
      {"first,", {"first 514 2 0"}},
      {"wrap:70000/tcp,b", {"wrap 4464 1 6", "b 514 2 0"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.list);
    LoggerSettings settings;
    settings.syslogServers = c.list;
    DebugLogger logger;
    ASSERT_TRUE(logger.Configure(settings));
    DebugLoggerProbe probe(logger);
    probe.OpenSyslog();
    std::vector<std::string> records;
    for (const SyslogTarget& target : probe.syslogTargets()) {
      EXPECT_EQ(-1, target.state);
      EXPECT_EQ(INVALID_SOCKET, target.socket.get());
      EXPECT_EQ(AF_INET, target.address.sin_family);
      records.push_back(target.host + " " + std::to_string(ntohs(target.address.sin_port)) + " " +
                        std::to_string(target.type) + " " + std::to_string(target.protocol));
    }
    EXPECT_EQ(c.expected, records);
    char host[128] = {};
    ASSERT_EQ(0, gethostname(host, sizeof host));
    EXPECT_EQ(std::string(host), probe.hostName());
    probe.CloseSyslog();
  }
}

TEST_F(SyslogTest, FramesArriveByteForByteOverUdpAndTcp) {
  const std::string tag = UniqueTag("frames");
  LoggerSettings settings;
  settings.syslogServers = ServerList();
  settings.applicationName = WidenAscii(tag);
  settings.syslogLevel = 5;
  settings.addSyslogHeader = false;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  probe.SetEventSourceName(settings.applicationName);
  probe.OpenSyslog();
  probe.ConnectionPass();
  ASSERT_EQ(2u, probe.syslogTargets().size());
  for (const SyslogTarget& target : probe.syslogTargets()) EXPECT_EQ(1, target.state);

  probe.SendSyslog(EntryTime(), 0x1A4, 3, "started", 0, nullptr);
  probe.SendSyslog(EntryTime(), 0x1A4, 2, "warned", 0, "svc");
  probe.SendSyslog(EntryTime(), 0x1A4, 1, "empty user", 0xEFFF2710, "");
  probe.SetSyslogCounter(9999);
  probe.SendSyslog(EntryTime(), 0x2B, 5, "last number", 5, nullptr);
  probe.SendSyslog(EntryTime(), 0x2B, 0, "numbers again", 0, nullptr);
  probe.CloseSyslog();

  std::vector<std::string> expected = {
      "<5> " + tag + " {0x1A4} 0000: (#30000) started",
      "<4> " + tag + " {0x1A4} 0001: (#20000) {svc} warned",
      "<3> " + tag + " {0x1A4} 0002: (#10000) {} empty user",
      "<7> " + tag + " {0x2B} 9999: (#00005) last number",
      "<2> " + tag + " {0x2B} 0000: (#00000) numbers again",
  };
  // Each frame went to both servers, in order on each.
  const std::vector<std::string> lines = AwaitReceived(tag, 2 * expected.size());
  for (const char* input : {"imudp ", "imtcp "}) {
    std::vector<std::string> received, sent;
    for (const std::string& line : lines) {
      if (line.rfind(input, 0) == 0) received.push_back(line);
    }
    for (const std::string& frame : expected) sent.push_back(input + frame);
    EXPECT_EQ(sent, received);
  }
}

TEST_F(SyslogTest, TheHeaderCarriesTimeHostAndTagAndTheFacilitySetsThePriority) {
  const std::string tag = UniqueTag("header");
  LoggerSettings settings;
  settings.syslogServers = ServerList().substr(0, ServerList().find(','));  // UDP only
  settings.applicationName = WidenAscii(tag);
  settings.syslogFacility = 16;  // local0
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  probe.SetEventSourceName(settings.applicationName);
  probe.OpenSyslog();
  probe.ConnectionPass();
  probe.SendSyslog(EntryTime(11, 4, 9, 8, 7), 0x1A4, 2, "with header", 0, "u");
  probe.SendSyslog(EntryTime(), 0x1A4, 3, "above the syslog level", 0, nullptr);
  probe.CloseSyslog();
  const std::vector<std::string> lines = AwaitReceived(tag, 1);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("imudp <132>Nov 04 09:08:07 " + probe.hostName() + " " + tag + " {0x1A4} 0000: (#20000) {u} with header",
            lines[0]);
}

// The logger's own queue events carry no user text: their frames have no
// braces, while an entry's (empty or not) user text has them.
TEST_F(SyslogTest, TheQueuesOwnEventsHaveNoUserBraces) {
  const std::string tag = UniqueTag("queue");
  LoggerSettings settings;
  settings.syslogServers = ServerList().substr(0, ServerList().find(','));  // UDP only
  settings.applicationName = WidenAscii(tag);
  settings.addSyslogHeader = false;
  settings.syslogLevel = 3;
  settings.maxQueueLength = 10;
  settings.rereadConfig = false;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  for (int i = 0; i < 20; ++i) logger.Submit(3, 0, 0x1A4, WidenAscii("e" + std::to_string(i)).c_str(), W("u"));
  ASSERT_TRUE(logger.Start());
  const std::string worker = [&] {
    char id[16];
    std::snprintf(id, sizeof id, "{0x%lX}", static_cast<unsigned long>(logger.threadId()));
    return std::string(id);
  }();
  logger.Stop();
  // Dropping, the entries reach only the trace file; the events reach all.
  const std::vector<std::string> lines = AwaitReceived(tag, 8);
  ASSERT_EQ(8u, lines.size());
  const std::string head = "imudp <";
  EXPECT_EQ(head + "2> " + tag + " " + worker +
                " 0000: (#00000) [DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except "
                "for log file\"",
            lines[0]);
  EXPECT_EQ(0u, lines[1].find(head + "3> " + tag + " " + worker + " 0001: (#10000) [DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning"))
      << lines[1];
  EXPECT_EQ(0u, lines[2].find(head + "3> " + tag + " " + worker + " 0002: (#10000) [DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled"))
      << lines[2];
  for (int i = 15; i < 20; ++i) {
    EXPECT_EQ(head + "5> " + tag + " {0x1A4} 000" + std::to_string(i - 12) + ": (#30000) {u} e" + std::to_string(i),
              lines[i - 12]);
  }
}

#ifndef _WIN32
// Needs the layer's code page switch: the test Wine's ANSI code page is
// 1252, where a frame (509 characters at most) never exceeds 1023 bytes.
TEST_F(SyslogTest, AFrameOverTheByteLimitIsCutBetweenCharactersAndKeepsItsLineEnd) {
  ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(CP_UTF8));
  const std::string tag = UniqueTag("cut");
  LoggerSettings settings;
  settings.syslogServers = ServerList();
  settings.applicationName = WidenAscii(tag);
  settings.addSyslogHeader = false;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  probe.SetEventSourceName(settings.applicationName);
  probe.OpenSyslog();
  probe.ConnectionPass();
  std::string euros;
  for (int i = 0; i < 480; ++i) euros += "\xE2\x82\xAC";
  probe.SendSyslog(EntryTime(), 0x1A4, 2, euros.c_str(), 0, nullptr);
  probe.SendSyslog(EntryTime(), 0x1A4, 2, "next", 0, nullptr);
  probe.CloseSyslog();
  for (const auto& [target, lost] : logger.OutputLosses().syslog) EXPECT_EQ(0u, lost) << target;
  // Over TCP a frame without its line end would run into the next one.
  const std::vector<std::string> lines = AwaitReceived(tag, 4);
  const std::string head = "<4> " + tag + " {0x1A4} 0000: (#20000) ";
  const size_t fit = (1023 - 1 - head.size()) / 3;  // whole euro signs before the line feed
  std::vector<std::string> expected;
  for (const char* input : {"imudp ", "imtcp "}) {
    std::string cut = input + head;
    for (size_t i = 0; i < fit; ++i) cut += "\xE2\x82\xAC";
    expected.push_back(cut);
  }
  std::vector<std::string> frames;
  for (const std::string& line : lines) {
    if (line.find("0000: ") != std::string::npos) frames.push_back(line);
  }
  std::sort(frames.begin(), frames.end(), std::greater<>());
  EXPECT_EQ(expected, frames);
  EXPECT_EQ(1u, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
              return line.rfind("imtcp ", 0) == 0 && line.find("0001: (#20000) next") != std::string::npos;
            }));
}
#endif

// After syslog is closed at run time the records stay: the connection pass
// still tries them, and reports the socket library's refusal once for each.
TEST_F(SyslogTest, ClosedSyslogKeepsItsRecordsAndReportsEachOnce) {
  test::LogCapture capture;  // the process's log receiver, before the logger
  ASSERT_TRUE(capture.adopted());
  LoggerSettings settings;
  settings.syslogServers = ServerList();
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  DebugLoggerProbe probe(logger);
  probe.OpenSyslog();
  probe.ConnectionPass();
  probe.CloseSyslog();
  WSACleanup();  // this test's own start, so that the library is stopped
  capture.Clear();
  probe.ConnectionPass();
  probe.ConnectionPass();
  std::vector<std::string> reports;
  for (const test::LogEntry& entry : capture.Entries()) reports.push_back(std::to_string(entry.level) + " " + entry.text);
  const std::string refused =
      "4 [DIAG] EVENT=Error_connecting_to_Syslog, ERROR=10093, EVENTMSG=\"Error connecting to 127.0.0.1\"";
  EXPECT_EQ((std::vector<std::string>{refused, refused}), reports);
  EXPECT_EQ(2u, probe.syslogTargets().size());
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);  // for TearDown
}

#ifndef _WIN32
// Needs the host's shell to stop and start the server: the Windows build
// sends the same frames above.
TEST_F(SyslogTest, AServerThatGoesAwayIsReportedOnceAndReconnected) {
  const char* const server = std::getenv("KVTR_SYSLOG_SERVER");
  ASSERT_NE(nullptr, server);
  const std::string command = std::string(server) + " %s " + std::getenv("KVTR_SYSLOG_DIR");
  const auto run = [&](const char* what) {
    char text[4096];
    std::snprintf(text, sizeof text, command.c_str(), what);
    return std::system(text);
  };
  const std::string tag = UniqueTag("restart");
  LoggerSettings settings;
  settings.syslogServers = ServerList();
  settings.applicationName = WidenAscii(tag);
  settings.syslogLevel = 3;
  settings.traceLevel = 4;  // the connection events are level 4
  settings.traceFilePath = machine_.ScratchFolder() + W("\\trace.txt");
  settings.reportEnvironment = false;
  settings.rereadConfig = false;
  DebugLogger logger;
  ASSERT_TRUE(logger.Configure(settings));
  ASSERT_TRUE(logger.Start());
  const auto submit = [&](const std::string& text) { logger.Submit(3, 0, 0x1A4, WidenAscii(text).c_str(), nullptr); };
  submit("before");
  EXPECT_EQ(2u, AwaitReceived(tag + " {0x1A4} 0000: (#30000) {} before", 2).size());

  ASSERT_EQ(0, run("stop"));
  for (int i = 0; i < 8; ++i) {
    submit("while away " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  ASSERT_EQ(0, run("start"));
  // Frames arrive again, over UDP and over TCP.
  const auto arrived = [&](const char* input) {
    for (const std::string& line : Received(tag)) {
      if (line.rfind(input, 0) == 0 && line.find("{} after") != std::string::npos) return true;
    }
    return false;
  };
  for (int i = 0; i < 40 && !(arrived("imudp ") && arrived("imtcp ")); ++i) {
    submit("after");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  logger.Stop();
  EXPECT_TRUE(arrived("imudp "));
  EXPECT_TRUE(arrived("imtcp "));

  const std::string trace = TestMachine::ReadFile(settings.traceFilePath);
  const auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = trace.find(what); at != std::string::npos; at = trace.find(what, at + 1)) ++n;
    return n;
  };
  // Each server's loss is reported once. The TCP server is connected again;
  // its failed attempts in between are not reported (the first attempt
  // after parsing had succeeded). The UDP socket never lost its server.
  EXPECT_EQ(2u, count("EVENTMSG=\"Connection lost to 127.0.0.1\"")) << trace;
  EXPECT_EQ(2u, count("EVENT=Syslog_disconnected, ERROR="));
  EXPECT_EQ(0u, count("Connect failed"));
  EXPECT_EQ(3u, count("EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\""));
}
#endif

}  // namespace
}  // namespace kvtr::logger
