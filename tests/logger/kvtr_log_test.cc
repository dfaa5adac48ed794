// kvtr-log as a shell uses it: lines on standard input become trace lines
// after the environment report, and a stop signal still writes every line
// it has read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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
    // Once the child has read everything, give it time to submit it.
    int unread = 1;
    for (int i = 0; i < 400 && unread > 0; ++i) {
      ioctl(pipeEnds[0], FIONREAD, &unread);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
#endif

}  // namespace
}  // namespace kvtr::test
