// The debugger output on the POSIX layer, a file every call appends to
// (Linux only: the file stands in for a debugger; under Wine the symbol
// engine's tests read the output as a debugger does).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/child_processes.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

class DebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("KVTR_DEBUG_OUTPUT"); }
  void TearDown() override { unsetenv("KVTR_DEBUG_OUTPUT"); }
  TestMachine machine_;
  const std::string prefix_ = KvtrEmu_Prefix();
};

TEST_F(DebugOutput, EachTextIsAppendedAsGivenToThePrefixOrTheNamedFile) {
  SetLastError(0xdeadbeef);
  for (const char* text : {"Symbols Path: ", "C:\\Work", "\n", "", static_cast<const char*>(nullptr), "caf\xc3\xa9\r\n"}) {
    OutputDebugStringA(text);
  }
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  const std::string logged = "Symbols Path: C:\\Work\ncaf\xc3\xa9\r\n";
  EXPECT_EQ(logged, ReadHostFile(prefix_ + "/debug-output.log"));
  setenv("KVTR_DEBUG_OUTPUT", (prefix_ + "/named.log").c_str(), 1);
  OutputDebugStringA("elsewhere");
  EXPECT_EQ("elsewhere", ReadHostFile(prefix_ + "/named.log"));
  // A file that cannot be made loses the text, and nothing else happens.
  setenv("KVTR_DEBUG_OUTPUT", (prefix_ + "/no-such-folder/x.log").c_str(), 1);
  OutputDebugStringA("lost");
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  EXPECT_EQ(logged, ReadHostFile(prefix_ + "/debug-output.log"));
}

// Four processes of four threads write lines of up to 6 KB: every line
// arrives whole, and each writer's lines in their order.
TEST_F(DebugOutput, TextsOfThreadsAndProcessesNeverInterleave) {
  constexpr int kProcesses = 4, kThreads = 4, kLines = 100;
  auto filler = [](int thread, int n) { return std::string(static_cast<size_t>((n * 61 + thread * 17) % 6000), 'a' + thread); };
  const std::vector<int> statuses = RunInChildren(kProcesses, [&](int process) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, process, t] {
        for (int n = 0; n < kLines; ++n) {
          OutputDebugStringA((std::to_string(process) + " " + std::to_string(t) + " " + std::to_string(n) + " " +
                              filler(t, n) + "\n").c_str());
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    return 0;
  });
  EXPECT_EQ(std::vector<int>(kProcesses, 0), statuses);

  std::istringstream lines(ReadHostFile(prefix_ + "/debug-output.log"));
  std::map<std::pair<int, int>, int> next;
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    int process = -1, thread = -1, n = -1;
    std::string rest;
    fields >> process >> thread >> n;
    std::getline(fields, rest);
    int& expected = next[std::make_pair(process, thread)];
    ASSERT_EQ(expected++, n) << "writer " << process << "/" << thread;
    ASSERT_EQ(" " + filler(thread, n), rest) << line.substr(0, 40);
    ++count;
  }
  EXPECT_EQ(kProcesses * kThreads * kLines, count);
}

}  // namespace
}  // namespace kvtr::test
