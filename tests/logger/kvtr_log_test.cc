// kvtr-log as a shell uses it: lines on standard input become trace lines
// after the environment report, and a stop signal still writes every line
// it has read.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "logger/syslog_peer.h"
#include "support/test_machine.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#else
#include <csignal>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/emulation.h"
#include "support/tcp_peers.h"
#endif

namespace kvtr::test {
namespace {

std::string Program() {
#ifdef _WIN32
  return ProgramBesideThis("kvtr-log.exe");
#else
  return KVTR_LOG;
#endif
}

// The trace file's lines after their "[code] (time):{thread} " part.
std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> messages;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    const std::string line = text.substr(start, end - start);
    const size_t body = line.find("} ");
    messages.push_back(body == std::string::npos ? line : line.substr(body + 2));
    start = end + 2;
  }
  return messages;
}

class KvtrLog : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    // The child works on this test's machine.
    setenv("KVTR_PREFIX", KvtrEmu_Prefix(), 1);
#endif
  }
  WString Trace() const { return machine_.ScratchFolder() + W("\\kvtr-log.txt"); }
  TestMachine machine_;
};

TEST_F(KvtrLog, InputLinesFollowTheEnvironmentReport) {
  // One quoted part only on Windows: cmd.exe, which _popen runs there,
  // takes a command with more quotes apart differently. The shell keeps
  // the path's backslashes only when quoted.
#ifdef _WIN32
  const std::string trace = NarrowAscii(Trace());
#else
  const std::string trace = "'" + NarrowAscii(Trace()) + "'";
#endif
  const std::string command = "\"" + Program() + "\" --trace " + trace + " --encoding utf8 --app kvtr-log-test";
  FILE* const input = popen(command.c_str(), "w");
  ASSERT_NE(nullptr, input);
  for (int i = 0; i < 100; ++i) std::fprintf(input, "input line %d\n", i);
  int status = pclose(input);
#ifndef _WIN32
  status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  EXPECT_EQ(0, status);

  const std::string text = TestMachine::ReadFile(Trace());
  ASSERT_EQ(0u, text.find("\xEF\xBB\xBFUTF-8 encoded\r\n"));
  const std::vector<std::string> messages = Messages(text);
  size_t firstEnvironment = messages.size(), lastEnvironment = 0, firstInput = messages.size();
  std::vector<std::string> inputs;
  for (size_t i = 0; i < messages.size(); ++i) {
    if (messages[i].rfind("[ENV] ", 0) == 0) {
      firstEnvironment = std::min(firstEnvironment, i);
      lastEnvironment = i;
    }
    if (messages[i].rfind("input line ", 0) == 0) {
      firstInput = std::min(firstInput, i);
      inputs.push_back(messages[i]);
    }
  }
  ASSERT_EQ(100u, inputs.size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ("input line " + std::to_string(i), inputs[i]);
  EXPECT_LT(firstEnvironment, firstInput);
  EXPECT_LT(lastEnvironment, firstInput);
  EXPECT_EQ("====== END OF LOG ======", messages.back());
}

// Runs kvtr-log with `options` (quoted for the shell by the caller) and
// `input` on its standard input; answers its exit status and keeps what it
// wrote to standard error in `errors`.
int RunKvtrLog(const std::string& options, const std::string& input, std::string* errors = nullptr) {
  static int runs = 0;
  const WString errorFile = WidenAscii("C:\\kvtr-tests\\kvtr-log-errors-" + std::to_string(GetCurrentProcessId()) +
                                       "-" + std::to_string(++runs) + ".txt");
  TestMachine::WriteFile(errorFile, "");
#ifdef _WIN32
  const std::string redirect = " 2>" + NarrowAscii(errorFile);
#else
  char host[4096];
  KvtrEmu_HostPath(errorFile.c_str(), host, sizeof host);
  const std::string redirect = std::string(" 2>'") + host + "'";
#endif
  FILE* const in = popen(("\"" + Program() + "\" " + options + redirect).c_str(), "w");
  if (in == nullptr) return -1;
  std::fputs(input.c_str(), in);
  int status = pclose(in);
#ifndef _WIN32
  status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  if (errors != nullptr) *errors = TestMachine::ReadFile(errorFile);
  DeleteFileW(errorFile.c_str());
  return status;
}

// A Windows path as an argument of the shell's command line.
std::string ShellArgument(const WString& path) {
#ifdef _WIN32
  return NarrowAscii(path);
#else
  return "'" + NarrowAscii(path) + "'";
#endif
}

// Many short runs in a row, each one line and gone at once: every line
// reaches the server. (Each run under Wine starts a Windows process: fewer
// runs there.)
TEST_F(KvtrLog, EveryLineOfManyShortRunsReachesTheSyslogServer) {
  if (logger::ServerFile("ports").empty()) GTEST_SKIP() << "no syslog server: KVTR_SYSLOG_DIR is not set";
  const int runs = RunningUnderWine() ? 20 : 100;
  const std::string tag = logger::UniqueTag("runs");
  const std::string udp = logger::ServerList().substr(0, logger::ServerList().find(','));
  for (int run = 0; run < runs; ++run) {
    std::string errors;
    ASSERT_EQ(0, RunKvtrLog("--syslog " + udp + " --level 3 --app " + tag, "run " + std::to_string(run) + "\n",
                            &errors))
        << errors;
  }
  const std::vector<std::string> lines = logger::AwaitReceived(tag, runs);
  std::vector<bool> seen(runs, false);
  for (const std::string& line : lines) {
    const size_t at = line.find("} run ");
    if (at != std::string::npos) seen[std::stoi(line.substr(at + 6))] = true;
  }
  for (int run = 0; run < runs; ++run) EXPECT_TRUE(seen[run]) << "run " << run << " never arrived";
}

#ifndef _WIN32
// A TCP server that refuses the connection loses the entries meant for it:
// the exit status says so, and standard error names the server. (The
// Windows build reports through the same code; a refusing port is made
// with host sockets here.)
TEST_F(KvtrLog, AnOutputThatLostEntriesIsNamedAndTheExitStatusIsOne) {
  const int port = UnusedTcpPort();
  ASSERT_NE(0, port);
  const std::string server = "127.0.0.1:" + std::to_string(port) + "/tcp";
  std::string errors;
  EXPECT_EQ(1, RunKvtrLog("--syslog " + server + " --level 3", "one\ntwo\n", &errors));
  EXPECT_NE(std::string::npos, errors.find("kvtr-log: 2 entries did not reach the syslog server " + server)) << errors;
}
#endif

// The top lines of a new file (the date, the threads, the environment
// report) may alone pass a small size limit: a roll-over never starts
// another, and numbers go on past 999.
TEST_F(KvtrLog, ARollOverNeverRecursesAndNumbersGoOnPast999) {
  const WString folder = machine_.ScratchFolder() + W("\\roll");
  ASSERT_EQ(0, RunKvtrLog("--trace " + ShellArgument(folder + W("\\x.txt")) + " --max-size 150 --roll",
                          "first\nsecond\nthird\n"));
  const auto files = [&](const wchar* mask) {
    std::vector<WString> names;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((folder + mask).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  };
  // One file for the start, then one per entry at most.
  const std::vector<WString> first = files(W("\\x_*.txt"));
  EXPECT_GE(first.size(), 2u);
  EXPECT_LE(first.size(), 4u);
  std::string all;
  for (const WString& name : first) all += TestMachine::ReadFile(folder + W("\\") + name);
  for (const char* line : {"} first\r\n", "} second\r\n", "} third\r\n"}) {
    EXPECT_NE(std::string::npos, all.find(line)) << line;
  }

  // With x_000 ... x_999 present the next files are x_1000, x_1001, ...
  for (int i = 0; i < 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "\\x_%03d.txt", i);
    ASSERT_TRUE(TestMachine::WriteFile(folder + WidenAscii(name), ""));
  }
  for (const WString& name : first) DeleteFileW((folder + W("\\") + name).c_str());
  std::string lines;
  for (int i = 1; i <= 20; ++i) lines += std::to_string(i) + "\n";
  ASSERT_EQ(0, RunKvtrLog("--trace " + ShellArgument(folder + W("\\x.txt")) + " --max-size 4000 --roll", lines));
  // Each file takes the entries until one ends past the limit, then its
  // top lines (which may alone pass it).
  const std::vector<WString> past = files(W("\\x_1???.txt"));
  ASSERT_GE(past.size(), 2u);
  EXPECT_LE(past.size(), 21u);
  std::string text;
  for (size_t i = 0; i < past.size(); ++i) {
    EXPECT_EQ(WidenAscii("x_" + std::to_string(1000 + i) + ".txt"), past[i]);
    const std::string file = TestMachine::ReadFile(folder + W("\\") + past[i]);
    EXPECT_LT(file.size(), 32768u) << NarrowAscii(past[i]);
    text += file;
  }
  for (int i = 1; i <= 20; ++i) {
    const std::string line = "} " + std::to_string(i) + "\r\n";
    const size_t at = text.find(line);
    EXPECT_NE(std::string::npos, at) << i;
    EXPECT_EQ(std::string::npos, text.find(line, at + 1)) << i;
  }
}

TEST_F(KvtrLog, BadOptionsAreRefusedWithTheUsage) {
  for (const char* options : {"--encoding latin1", "--level 16", "--frobnicate", "--trace"}) {
    SCOPED_TRACE(options);
#ifdef _WIN32
    const char* const discard = " 2>NUL";
#else
    const char* const discard = " 2>/dev/null";
#endif
    FILE* const input = popen(("\"" + Program() + "\" " + options + discard).c_str(), "w");
    ASSERT_NE(nullptr, input);
    int status = pclose(input);
#ifndef _WIN32
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    EXPECT_EQ(2, status);
  }
}

#ifndef _WIN32
// Signals are a POSIX matter; on Windows the console's control events
// take the same road.
TEST_F(KvtrLog, AStopSignalWritesEveryLineRead) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const WString trace = machine_.ScratchFolder() + WidenAscii("\\signal" + std::to_string(signal) + ".txt");
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    const std::string traceArgument = NarrowAscii(trace);
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      dup2(pipeEnds[0], 0);
      close(pipeEnds[1]);
      execl(KVTR_LOG, KVTR_LOG, "--trace", traceArgument.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "signalled line " + std::to_string(i) + "\n";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(pipeEnds[1], lines.data(), lines.size()));
    // Once the child has read everything (however long a loaded machine
    // takes), the signal comes: every line it read must be written.
    int unread = 1;
    while (ioctl(pipeEnds[0], FIONREAD, &unread) == 0 && unread > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, signal);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    size_t count = 0;
    for (const std::string& message : Messages(TestMachine::ReadFile(trace))) {
      count += message.rfind("signalled line ", 0) == 0;
    }
    EXPECT_EQ(1000u, count);
  }
}

// A worker stuck in a connect to a server whose backlog is full: a stop
// signal still ends kvtr-log within its stop timeout, and it says what
// happened.
TEST_F(KvtrLog, AStopEndsWithinItsTimeoutWhateverTheWorkerDoes) {
  const StuckTcpServer stuck;
  ASSERT_NE(0, stuck.port());
  const std::string server = "127.0.0.1:" + std::to_string(stuck.port()) + "/tcp";
  int input[2], errors[2];
  ASSERT_EQ(0, pipe(input));
  ASSERT_EQ(0, pipe(errors));
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    dup2(input[0], 0);
    dup2(errors[1], 2);
    close(input[1]);
    close(errors[0]);
    execl(KVTR_LOG, KVTR_LOG, "--syslog", server.c_str(), "--level", "3", "--stop-timeout", "1",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(errors[1]);
  ASSERT_EQ(5, write(input[1], "line\n", 5));
  // Once the line is read, the child takes its signals itself.
  int unread = 1;
  while (ioctl(input[1], FIONREAD, &unread) == 0 && unread > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGTERM);
  std::string said;
  char chunk[512];
  for (ssize_t got; (got = read(errors[0], chunk, sizeof chunk)) > 0;) said.append(chunk, static_cast<size_t>(got));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  close(input[1]);
  close(errors[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, said.find("kvtr-log: the logger did not stop within 1 s")) << said;
}
#endif

}  // namespace
}  // namespace kvtr::test
