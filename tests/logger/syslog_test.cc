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
#include "support/log_capture.h"
#include "support/test_machine.h"

namespace kvtr::logger {
namespace {

using test::TestMachine;

// The server's folder as this program names it.
std::string ServerFile(const char* name) {
  const char* const dir = std::getenv("KVTR_SYSLOG_DIR");
  if (dir == nullptr) return std::string();
#ifdef _WIN32
  return std::string("Z:") + dir + "\\" + name;  // Wine's drive Z: is the host's root
#else
  return std::string(dir) + "/" + name;
#endif
}

std::string ReadServerFile(const char* name) {
  std::ifstream in(ServerFile(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// "127.0.0.1:UDP,127.0.0.1:TCP/tcp" for the running server.
std::string ServerList() {
  std::istringstream ports(ReadServerFile("ports"));
  int udp = 0, tcp = 0;
  ports >> udp >> tcp;
  return "127.0.0.1:" + std::to_string(udp) + ",127.0.0.1:" + std::to_string(tcp) + "/tcp";
}

// The received lines that hold `tag`.
std::vector<std::string> Received(const std::string& tag) {
  std::vector<std::string> lines;
  std::istringstream in(ReadServerFile("received.log"));
  for (std::string line; std::getline(in, line);) {
    if (line.find(tag) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// Waits up to 10 s until `count` lines with `tag` have arrived.
std::vector<std::string> AwaitReceived(const std::string& tag, size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 200 && (lines = Received(tag)).size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return lines;
}

std::string UniqueTag(const char* what) {
  return std::string("kvtr-") + what + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount());
}

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
      EXPECT_EQ(INVALID_SOCKET, target.socket);
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
